#pragma once
// Helpers shared by the mime tests: the case files under tests/data/mime,
// trees parsed and rendered, and Python's email package run over the text we
// render (the scripts of tests/data/mime; data goes through temp files only).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "text/data_buffer.h"

namespace mimetest {

using testsupport::str;
using testsupport::unescape;
using testsupport::xs;
using Line = testsupport::CaseLine;

inline std::string str(const DataBuffer& db) {
    return std::string(reinterpret_cast<const char*>(db.data()), db.size());
}

inline std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The case lines of tests/data/mime/NAME.
inline std::vector<Line> readCases(const std::string& name) {
    return testsupport::readCases("mime/" + name);
}

// Writes a file whose name is UTF-8, as the engine reads names; a narrow
// std::string path would be taken as ANSI on Windows.
inline std::string writeFileUtf8(const std::string& path, const std::string& bytes) {
    std::ofstream f(std::filesystem::path(std::u8string(path.begin(), path.end())),
                    std::ios::binary);
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

inline std::string render(Email2& e, const char* prefix = "BVX-") {
    StringBuffer out;
    LogNull log;
    e.assembleMime(out, nullptr, prefix, log);
    return str(out);
}

inline std::unique_ptr<Email2> parse(const std::string& text) {
    LogNull log;
    return std::unique_ptr<Email2>(
        Email2::createFromMime(text.data(), static_cast<uint32_t>(text.size()), log));
}

inline std::unique_ptr<Email2> cloneOf(Email2& e) {
    LogNull log;
    return std::unique_ptr<Email2>(e.clone(log));
}

// A temporary file name of this run, apart from those of other runs of the
// tests at the same time.
inline std::string tempName(const std::string& name) {
    static const std::string tag = std::to_string(
        std::random_device{}() ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return ::testing::TempDir() + "mime_" + tag + "_" + name;
}

inline bool pythonEmailAvailable() {
    static const bool have = std::system("python3 -c \"import email.policy\"") == 0;
    return have;
}

// Runs a script of tests/data/mime on the given files; true for exit 0.
inline bool runPython(const std::string& script, const std::vector<std::string>& files,
                      const std::string& redirect = "") {
    std::string cmd = "python3 \"" + std::string(SMTP_TEST_DATA_DIR) + "/mime/" + script + "\"";
    for (const std::string& f : files) cmd += " \"" + f + "\"";
    return std::system((cmd + redirect).c_str()) == 0;
}

// The expectation lines for check_mime.py, values in hex.
struct Expect {
    std::string str;
    Expect& line(const std::string& kind, int i, const std::string& rest = "") {
        str += kind + " " + std::to_string(i) + (rest.empty() ? "" : " " + rest) + "\n";
        return *this;
    }
    Expect& parts(int n) { return line("PARTS", n); }
    Expect& type(int i, const std::string& t, bool m) { return line("TYPE", i, t + " " + "01"[m]); }
    Expect& body(int i, const std::string& bytes) { return line("BODY", i, toHex(bytes)); }
    Expect& text(int i, const std::string& utf8) { return line("TEXT", i, toHex(utf8)); }
    Expect& filename(int i, const std::string& utf8) { return line("FILENAME", i, toHex(utf8)); }
    Expect& header(int i, const std::string& n, const std::string& v) {
        return line("HEADER", i, n + " " + toHex(v));
    }
};

// True when Python reads the message as expected (check_mime.py); on failure
// Python's findings go to the test log, and the files stay for a look.
inline bool pythonAgrees(const std::string& message, const Expect& expect, const std::string& tag) {
    const std::string msg = writeFileUtf8(tempName(tag + ".eml"), message);
    const std::string exp = writeFileUtf8(tempName(tag + ".txt"), expect.str);
    const bool ok = runPython("check_mime.py", {msg, exp});
    if (ok) {
        std::remove(msg.c_str());
        std::remove(exp.c_str());
    }
    return ok;
}

// Python's view of a message (list_fields.py): the fields of every entity,
// or the Content-Type parameters, as (entity, name, value).
inline std::vector<std::tuple<int, std::string, std::string>> pythonView(const std::string& message,
                                                                         bool params) {
    std::vector<std::tuple<int, std::string, std::string>> view;
    if (!pythonEmailAvailable()) return view;
    const std::string msg = writeFileUtf8(tempName("view.eml"), message), out = msg + ".out";
    EXPECT_TRUE(runPython("list_fields.py", {msg}, " > \"" + out + "\""));
    std::ifstream lines(out);
    std::string kind, key, hex;
    for (int index = 0; lines >> kind >> index >> key;) {
        if (kind == "P") lines >> hex;
        if ((kind == "P") == params) view.emplace_back(index, key, fromHex(hex));
    }
    lines.close();
    std::remove(out.c_str());
    std::remove(msg.c_str());
    return view;
}

}  // namespace mimetest
