#pragma once
// The tab-separated vector files under tests/data and the notations they
// use, shared by the text and crypto tests.
#include <cstdint>
#include <fstream>
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

// Blank-separated hex numbers ("-": none).
inline std::vector<uint32_t> numbers(const std::string& field) {
    std::vector<uint32_t> out;
    std::istringstream in(field == "-" ? "" : field);
    for (std::string x; in >> x;) out.push_back(static_cast<uint32_t>(std::stoul(x, nullptr, 16)));
    return out;
}

// Pairs of hex digits.
inline std::string unhex(const std::string& h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

// Text in the data files' notation (support/data_file.h); a lone "-" is
// the empty text.
inline std::string unescape(const std::string& s) {
    return s == "-" ? std::string() : testsupport::unescape(s);
}

struct Row {
    int line;
    std::vector<std::string> f;  // the tab-separated fields
    std::string where() const { return "line " + std::to_string(line); }
};

// The rows of tests/data/<name>, comments ('#') and blank lines left out.
inline std::vector<Row> rows(const std::string& name) {
    std::ifstream in(std::string(SMTP_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    std::vector<Row> out;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        out.push_back({n, {}});
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');) out.back().f.push_back(f);
    }
    return out;
}

}  // namespace testdata
