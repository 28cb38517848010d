#pragma once
// The tab-separated tables under tests/data read by the text and crypto
// tests.
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support/data_file.h"

namespace testdata {

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
