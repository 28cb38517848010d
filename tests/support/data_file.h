#pragma once
// Reading the case files under tests/data, shared by the engine test programs.
// Needs SMTP_TEST_DATA_DIR, which tests/CMakeLists.txt defines for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// The repeat "\{N:text\}" at s[at], its text read by read(), N times; at
// moves to its last character. One that does not end throws (a failed test).
template <class Read>
std::string repeatAt(const std::string& s, size_t& at, Read read) {
    const size_t colon = s.find(':', at), end = s.find("\\}", colon);
    if (end == std::string::npos) throw std::invalid_argument("unended repeat: " + s.substr(at));
    std::string text = read(s.substr(colon + 1, end - colon - 1)), out;
    // By doubling: a run of millions (tests/data/net) takes a few dozen appends.
    for (unsigned long n = std::stoul(s.substr(at + 2, colon - at - 2)); n > 0; n >>= 1) {
        if (n & 1) out += text;
        if (n > 1) text += text;
    }
    at = end + 1;
    return out;
}

// Each \{N:text\} in s as N times the text, everything else as it is: for
// texts whose other escapes are read later, or by someone else.
inline std::string expandRepeats(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\\{") == 0) {
            out += repeatAt(s, i, [](const std::string& text) { return text; });
        } else {
            // An escaped character goes with its backslash: "\\{" is no repeat.
            out.append(s, i, s[i] == '\\' ? 2 : 1);
            i += s[i] == '\\';
        }
    }
    return out;
}

// In the data files \r \n \t \0 \s (a blank), \xHH and \\ stand for those
// bytes and \{N:text\} for N times the text; any other escaped character
// stands for itself.
inline std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
        } else if (s[++i] == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (s[i] == '{') {
            out += repeatAt(s, --i, unescape);
        } else {
            const std::string from = "rnt0s", to("\r\n\t\0 ", 5);
            out += from.find(s[i]) == std::string::npos ? s[i] : to[from.find(s[i])];
        }
    }
    return out;
}

// s with every from replaced by to, for the placeholders in data files.
inline std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
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

// One line of a case file, "verb arg | arg | ...", arguments unescaped:
// blank lines and lines starting with '#' are left out, and a line ending
// in '\' goes on in the next (leading blanks there dropped).
struct CaseLine {
    std::string where, verb;
    std::vector<std::string> args;
    const std::string& operator[](size_t i) const {
        static const std::string none;
        return i < args.size() ? args[i] : none;
    }
    int num(size_t i) const { return std::stoi((*this)[i]); }
};

// The case lines of tests/data/PATH; "where" names the file and line.
inline std::vector<CaseLine> readCases(const std::string& path) {
    std::ifstream f(SMTP_TEST_DATA_DIR "/" + path, std::ios::binary);
    EXPECT_TRUE(f.good()) << path;
    std::vector<CaseLine> out;
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
        CaseLine l{path + ":" + std::to_string(first), text.substr(0, text.find(' ')), {}};
        for (size_t at = l.verb.size() + 1; at <= text.size();) {
            const size_t end = std::min(text.find(" | ", at), text.size());
            l.args.push_back(unescape(text.substr(at, end - at)));
            at = end + 3;
        }
        out.push_back(l);
        text.clear();
    }
    return out;
}

}  // namespace testsupport
