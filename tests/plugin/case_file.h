#pragma once
// The case files under tests/data/plugin/: "== NAME" starts a case, every
// other line is one step, split into words; "#" lines are comments. A word
// in double quotes is text, where \n \r \t \\ stand for themselves, \xHH
// for one byte (\x22 for a quote), \u{HEX} for one character and \w{HEX}
// for one raw wide code unit (dropped where wchar_t is too narrow for it).
#include <gtest/gtest.h>

#include <cstdint>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "support/data_file.h"

namespace case_file {

using Line = std::vector<std::string>;  // quoted words keep their quotes
struct Case {
    std::string name;
    std::vector<std::pair<std::string, Line>> steps;  // each with its text, for traces
};
inline void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

inline std::vector<Case> load(const std::string& name) {
    std::vector<Case> cases;
    for (const std::string& text : testsupport::dataLines("plugin/" + name)) {
        if (text.rfind("== ", 0) == 0) cases.push_back({text.substr(3), {}});
        if (text[0] == '=') continue;
        Line line;
        std::istringstream words(text);
        for (std::string w; (words >> std::ws).peek() != EOF; line.push_back(w)) {
            if (words.peek() != '"') {
                words >> w;
                continue;
            }
            words >> std::quoted(w, '"', '\x7f');
            w = '"' + w + '"';
        }
        cases.at(cases.size() - 1).steps.push_back({text, line});  // no step before a case
    }
    return cases;
}

const auto kCaseName = [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; };

// Calls emit(kind, value) for each character of a word: kind 'c' for a
// character, 'x' for a raw byte, 'w' for a raw wide code unit.
template <class Emit>
void decode(const std::string& word, Emit emit) {
    const size_t last = word.size() >= 2 && word[0] == '"' ? word.size() - 1 : word.size();
    for (size_t i = last < word.size() ? 1 : 0; i < last;) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        const char e = c == '\\' ? word[i + 1] : 0;
        if (e == 'x' || e == 'u' || e == 'w') {
            const size_t from = i + (e == 'x' ? 2 : 3);
            const size_t end = e == 'x' ? from + 2 : word.find('}', from);
            emit(e == 'u' ? 'c' : e, std::stoul(word.substr(from, end - from), nullptr, 16));
            i = end + (e == 'x' ? 0 : 1);
        } else if (e) {
            emit('c', e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e);
            i += 2;
        } else {  // literal text in the file is UTF-8
            const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            uint32_t cp = extra ? c & (0x3F >> extra) : c;
            for (int k = 1; k <= extra; ++k) cp = cp << 6 | (word[i + k] & 0x3F);
            emit('c', cp);
            i += 1 + extra;
        }
    }
}

// The word as UTF-8 bytes.
inline std::string bytes(const std::string& word) {
    std::string out;
    decode(word, [&](char kind, uint32_t cp) {
        const int extra = kind != 'c' || cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        out += static_cast<char>(extra ? ((0xF0 << (3 - extra)) & 0xFF) | cp >> (6 * extra) : cp);
        for (int k = extra - 1; k >= 0; --k)
            out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
    });
    return out;
}

// The word as the host's wide text: UTF-16 where wchar_t has 16 bits.
inline std::wstring wide(const std::string& word) {
    std::wstring out;
    decode(word, [&](char kind, uint32_t cp) {
        if (kind == 'c' && sizeof(wchar_t) == 2 && cp >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else if (sizeof(wchar_t) == 4 || cp <= 0xFFFF) {
            out += static_cast<wchar_t>(cp);
        }
    });
    return out;
}

// Each "{key}" in s replaced by its value.
inline std::string fill(std::string s,
                        const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [key, value] : values) s = testsupport::replaced(s, key, value);
    return s;
}

// w[1] "has", then A B...: hay holds A, then B...; "lacks": none of them.
inline void find(const std::string& hay, const Line& w) {
    for (size_t i = 2, at = 0; i < w.size(); ++i) {
        const size_t found = hay.find(bytes(w[i]), w[1] == "has" ? at : 0);
        EXPECT_EQ(found == std::string::npos, w[1] == "lacks") << w[0] << " " << w[i] << "\n"
                                                               << hay;
        at = found == std::string::npos ? at : found + 1;
    }
}

}  // namespace case_file
