#pragma once
// One mailbox: a friendly name and a bare address.
#include <cstdint>

#include "text/ext_ptr_array.h"
#include "text/string_buffer.h"

class LogBase;

class Rfc822Address : public BrenvikObject {
  public:
    Rfc822Address() = default;
    // Always valid: a pair given by the caller is taken whatever its form.
    Rfc822Address(const char* name, const char* address);
    ~Rfc822Address() override = default;

    // A new address from one address text, or null when it holds none
    // (empty, or an "undisclosed recipients" placeholder).
    static Rfc822Address* parseAddress(const char* text, LogBase& log);
    // Appends every address of a comma-separated list to list (objects of
    // this class, owned by the list's owner); returns how many were added.
    static int parseAddressList(const char* text, ExtPtrArray& list, bool skipDuplicates,
                                LogBase& log);

    // "\"name\" <address>" with '"' and '\' in the name escaped, or the bare
    // address (in angle brackets when it holds a space). Names are held as
    // plain text, never escaped.
    void format(StringBuffer& out) const;
    void getAddress(StringBuffer& out) const {
        out.setString(m_address.getString(), m_address.length());
    }
    // The name with its encoded words decoded.
    void getName(StringBuffer& out) const;

    void setName(const char* name) { m_name.setString(name ? name : ""); }
    void setAddress(const char* address) { m_address.setString(address ? address : ""); }

    bool isValid() const { return m_valid != 0; }
    const StringBuffer& name() const { return m_name; }  // may hold encoded words
    const StringBuffer& address() const { return m_address; }
    const StringBuffer& sourceText() const { return m_sourceText; }

  private:
    unsigned char m_valid = 0;
    StringBuffer m_sourceText;
    StringBuffer m_name;
    StringBuffer m_address;
};
