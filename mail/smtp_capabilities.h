#pragma once
// What one server said about itself in its EHLO reply: the AUTH mechanisms
// as a bit set, and every extension keyword it listed. It belongs to one
// connection and is cleared for the next.
#include <cstdint>
#include <set>
#include <string>

#include "text/string_buffer.h"

class SmtpCapabilities {
  public:
    enum Mechanism : uint32_t {
        kLogin = 1u << 0,
        kPlain = 1u << 1,
        kCramMd5 = 1u << 2,
        kNtlm = 1u << 3,
        kMsn = 1u << 4,
        kDigestMd5 = 1u << 5,
        kGssapi = 1u << 6,
        kKerberosV4 = 1u << 7,
        kAnonymous = 1u << 8,
        kXoauth2 = 1u << 9,
    };

    void clear();
    // One line of a 250 EHLO reply, line end included or not. The first
    // line names the server's domain, not an extension.
    void noteEhloLine(const StringBuffer& line, bool firstLine = false);

    bool has(Mechanism m) const { return (m_auth & m) != 0; }
    // Replaces the mechanisms, as a forced auth method does.
    void setMechanisms(uint32_t mask) { m_auth = mask; }
    void addMechanism(Mechanism m) { m_auth |= m; }

    // Whether the server listed the extension keyword (ignoring case).
    bool offers(const char* keyword) const;
    // The SIZE limit in octets (RFC 1870); 0 when none was declared.
    uint64_t sizeLimit() const { return m_sizeLimit; }

  private:
    uint32_t m_auth = 0;
    uint64_t m_sizeLimit = 0;
    std::set<std::string> m_keywords;  // upper-case
};
