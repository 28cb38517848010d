#pragma once
// Helpers shared by the mime tests.
#include <filesystem>
#include <fstream>
#include <string>

#include "text/data_buffer.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

namespace mimetest {

// Writes a file whose name is UTF-8, as the engine reads names; a narrow
// std::string path would be taken as ANSI on Windows.
inline void writeFileUtf8(const std::string& path, const std::string& bytes) {
    const std::u8string name(path.begin(), path.end());
    std::ofstream f(std::filesystem::path(name), std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string str(const StringBuffer& sb) { return std::string(sb.getString(), sb.length()); }

inline std::string str(const DataBuffer& db) {
    return std::string(reinterpret_cast<const char*>(db.data()), db.size());
}

inline XString utf8(const char* s) {
    XString x;
    x.setFromUtf8(s);
    return x;
}

inline std::string fromHex(const std::string& hex) {
    std::string out;
    if (hex == "-") return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const std::string& bytes) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(d[c >> 4]);
        out.push_back(d[c & 15]);
    }
    return out.empty() ? "-" : out;
}

}  // namespace mimetest
