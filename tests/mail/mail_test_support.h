#pragma once
// Shared by the mail tests: one check of a log written as a table cell, and
// TYPE2 challenges built and TYPE3 messages read for the NTLM tests, from
// the message layout independently of the code under test.
#include <cstdint>
#include <map>
#include <string>

#include "support/engine_log.h"

namespace ntlmtest {

// "E:text" an error, "I:text" an info, "D:name=value" the first value
// logged under name ("<none>" for none), "C:name=text" some value under
// name containing text, "X:text" in the log's XML form.
inline bool logShows(Logger& log, const std::string& check) {
    const std::string text = check.substr(2), name = text.substr(0, text.find('='));
    const std::string value = text.substr(std::min(name.size() + 1, text.size()));
    if (check[0] == 'X') return testsupport::xml(log).find(text) != std::string::npos;
    if (check[0] == 'D') return testsupport::data(log, name) == value;
    for (const testsupport::Entry& e : testsupport::entries(log)) {
        if (e.kind == check[0] && e.text == text) return true;  // errors and infos
        if (check[0] == 'C' && e.kind == 'T' && e.name == name &&
            e.text.find(value) != std::string::npos)
            return true;
    }
    return false;  // a check nobody knows fails
}

// "NTLMSSP\0" and the message type 3, as the base64 line of a TYPE3 begins.
constexpr char kType3Prefix[] = "TlRMTVNTUAADAAAA";

inline std::string le16(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF)};
}
inline std::string le32(uint32_t v) {
    return le16(v & 0xFFFF) + le16(v >> 16);
}

inline std::string utf16le(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

// A TYPE2: header of 56 bytes (with an 8-byte version), then the target
// name and the target info.
inline std::string type2(uint32_t flags, const std::string& challenge,
                         const std::string& targetName, const std::string& targetInfo) {
    std::string m("NTLMSSP\0", 8);
    m += le32(2);
    const uint32_t nameAt = 56, infoAt = 56 + static_cast<uint32_t>(targetName.size());
    m += le16(targetName.size()) + le16(targetName.size()) + le32(nameAt);
    m += le32(flags);
    m += challenge;
    m += std::string(8, '\0');  // context
    m += le16(targetInfo.size()) + le16(targetInfo.size()) + le32(targetInfo.empty() ? 0 : infoAt);
    m += std::string(8, '\0');  // version
    return m + targetName + targetInfo;
}

struct Type3 {
    bool ok = false;
    uint32_t flags = 0;
    std::map<std::string, std::string> fields;  // lm, nt, domain, user, workstation, key
    std::map<std::string, uint32_t> offsets;
};

inline uint32_t u16(const std::string& m, size_t at) {
    return static_cast<unsigned char>(m[at]) | (static_cast<unsigned char>(m[at + 1]) << 8);
}
inline uint32_t u32(const std::string& m, size_t at) {
    return u16(m, at) | (u16(m, at + 2) << 16);
}

inline Type3 readType3(const std::string& m) {
    Type3 t;
    if (m.size() < 64 || m.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0 || u32(m, 8) != 3)
        return t;
    const std::pair<const char*, size_t> buffers[] = {
        {"lm", 12}, {"nt", 20}, {"domain", 28}, {"user", 36}, {"workstation", 44}, {"key", 52}};
    for (const auto& [name, at] : buffers) {
        uint32_t len = u16(m, at), alloc = u16(m, at + 2), off = u32(m, at + 4);
        if (len != alloc || off + len > m.size()) return t;
        t.fields[name] = m.substr(off, len);
        t.offsets[name] = off;
    }
    t.flags = u32(m, 60);
    t.ok = true;
    return t;
}

}  // namespace ntlmtest
