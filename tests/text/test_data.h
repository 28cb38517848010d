#pragma once
// The tab-separated tables under tests/data read by the text and crypto
// tests, and the hex notations they use.
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support/data_file.h"

namespace testdata {

inline std::string hex(const void* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (const auto* b = static_cast<const unsigned char*>(p); n--; ++b)
        s += {digits[*b >> 4], digits[*b & 15]};
    return s;
}
inline std::string hex(const std::string& s) {
    return hex(s.data(), s.size());
}

// Pairs of hex digits.
inline std::string unhex(const std::string& h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

struct Row {
    std::string where;           // the file and the start of the line
    std::vector<std::string> f;  // the fields, at least as many as asked for
};

// The rows of tests/data/PATH, fields in the notation of support/data_file.h;
// a lone "-" is the empty text (a dash is \x2D).
inline std::vector<Row> rows(const std::string& path, size_t fields) {
    std::vector<Row> out;
    for (const std::string& line : testsupport::dataLines(path)) {
        Row r{path + ": " + line.substr(0, 100), {}};
        std::istringstream in(line);
        for (std::string f; std::getline(in, f, '\t');)
            r.f.push_back(f == "-" ? "" : testsupport::unescape(f));
        EXPECT_GE(r.f.size(), fields) << r.where;
        r.f.resize(std::max(r.f.size(), fields));
        out.push_back(r);
    }
    return out;
}

}  // namespace testdata
