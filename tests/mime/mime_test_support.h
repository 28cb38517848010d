#pragma once
// Helpers shared by the mime tests, and the reader of the case files under
// tests/data/mime.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/data_file.h"
#include "support/engine_log.h"
#include "text/data_buffer.h"

namespace mimetest {

using testsupport::str;
using testsupport::xs;

inline std::string str(const DataBuffer& db) {
    return std::string(reinterpret_cast<const char*>(db.data()), db.size());
}

// Writes a file whose name is UTF-8, as the engine reads names; a narrow
// std::string path would be taken as ANSI on Windows.
inline std::string writeFileUtf8(const std::string& path, const std::string& bytes) {
    const std::u8string name(path.begin(), path.end());
    std::ofstream f(std::filesystem::path(name), std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// The whole file; false when it cannot be opened.
inline bool readFile(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return f.is_open();
}

inline std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const std::string& bytes) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {d[c >> 4], d[c & 15]};
    return out.empty() ? "-" : out;
}

using testsupport::unescape;

// Every encoded word in the header of text is at most 75 characters long.
inline void expectShortWords(const std::string& text) {
    std::string header = text.substr(0, text.find("\r\n\r\n"));
    for (size_t at = header.find("=?"); at != std::string::npos; at = header.find("=?", at + 2)) {
        size_t q1 = header.find('?', at + 2);
        size_t q2 = q1 == std::string::npos ? q1 : header.find('?', q1 + 1);
        size_t end = q2 == std::string::npos ? q2 : header.find("?=", q2 + 1);
        if (end == std::string::npos || q2 != q1 + 2) continue;
        EXPECT_LE(end + 2 - at, 75u) << header.substr(at, end + 2 - at);
        at = end;
    }
}

using Line = testsupport::CaseLine;

// The case lines of tests/data/mime/NAME.
inline std::vector<Line> readCases(const std::string& name) {
    return testsupport::readCases("mime/" + name);
}

}  // namespace mimetest
