#pragma once
// Reading the case files under tests/data, shared by the engine test programs.
// Needs SMTP_TEST_DATA_DIR, which tests/CMakeLists.txt defines for them.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

// In the data files \r \n \t \0 \xHH and \\ stand for those bytes, and
// {C*N} for N times the character C.
inline std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const size_t close = s.find('}', i);
        if (s[i] == '{' && s.find('*', i) == i + 2 && close != std::string::npos) {
            out.append(std::stoul(s.substr(i + 3, close - i - 3)), s[i + 1]);
            i = close;
        } else if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
        } else if (s[++i] == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            const std::string from = "rnt0", to("\r\n\t\0", 4);
            out += from.find(s[i]) == std::string::npos ? s[i] : to[from.find(s[i])];
        }
    }
    return out;
}

// The lines of tests/data/PATH that are neither blank nor "#" comments.
inline std::vector<std::string> dataLines(const std::string& path) {
    std::ifstream in(SMTP_TEST_DATA_DIR "/" + path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (!l.empty() && l[0] != '#') lines.push_back(l);
    }
    EXPECT_FALSE(lines.empty()) << path;
    return lines;
}

// The tab-separated fields of a line, unescaped; an empty last field counts.
inline std::vector<std::string> tabFields(const std::string& line) {
    std::vector<std::string> fields;
    for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
        tab = line.find('\t', start);
        fields.push_back(unescape(line.substr(start, tab - start)));
    }
    return fields;
}

}  // namespace testsupport
