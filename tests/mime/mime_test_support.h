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

// Case text: \r \n \t \0, \s for a blank, \xHH, \{N:text\} for text N
// times; any other escaped character stands for itself.
inline std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c != '\\' || i + 1 == s.size()) {
            out += c;
        } else if ((c = s[++i]) == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (c == '{') {
            size_t colon = s.find(':', i), end = s.find("\\}", colon);
            std::string part = unescape(s.substr(colon + 1, end - colon - 1));
            for (int n = std::stoi(s.substr(i + 1, colon - i - 1)); n > 0; --n) out += part;
            i = end + 1;
        } else {
            static const std::string letters = "rnt0s", bytes("\r\n\t\0 ", 5);
            size_t k = letters.find(c);
            out += k == std::string::npos ? c : bytes[k];
        }
    }
    return out;
}

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

// One line of a case file, "verb arg | arg | ...": blank lines and lines
// starting with '#' are left out, a line ending in '\' goes on in the next.
struct Line {
    std::string where, verb;
    std::vector<std::string> args;
    const std::string& operator[](size_t i) const {
        static const std::string none;
        return i < args.size() ? args[i] : none;
    }
    int num(size_t i) const { return std::stoi((*this)[i]); }
};

inline std::vector<Line> readCases(const std::string& name) {
    std::ifstream f(std::string(SMTP_TEST_DATA_DIR) + "/mime/" + name, std::ios::binary);
    EXPECT_TRUE(f.good()) << name;
    std::vector<Line> out;
    std::string text, more;
    for (int n = 1, first = 1; std::getline(f, more); ++n) {
        if (!more.empty() && more.back() == '\r') more.pop_back();
        if (text.empty() && (more.empty() || more[0] == '#')) continue;
        if (text.empty()) first = n;
        text +=
            text.empty() ? more : more.substr(std::min(more.find_first_not_of(" \t"), more.size()));
        if (!text.empty() && text.back() == '\\' &&
            (text.size() < 2 || text[text.size() - 2] != '\\')) {
            text.pop_back();
            continue;
        }
        Line l{name + ":" + std::to_string(first), text.substr(0, text.find(' ')), {}};
        for (size_t at = l.verb.size() + 1; at <= text.size();) {
            size_t end = std::min(text.find(" | ", at), text.size());
            l.args.push_back(unescape(text.substr(at, end - at)));
            at = end + 3;
        }
        out.push_back(l);
        text.clear();
    }
    return out;
}

}  // namespace mimetest
