#pragma once
// Runs Python's email package over MIME text the engine produced, through
// tests/data/mime/check_mime.py. Data goes through temp files only.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime_test_support.h"

namespace mimetest {

// A temporary file name of this run, apart from those of other runs of the
// tests at the same time.
inline std::string tempName(const std::string& name) {
    static const std::string tag = std::to_string(
        std::random_device{}() ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return ::testing::TempDir() + "mime_" + tag + "_" + name;
}

inline bool pythonEmailAvailable() {
    static int have = -1;
    if (have < 0) have = std::system("python3 -c \"import email.policy\"") == 0 ? 1 : 0;
    return have == 1;
}

// Runs a script of tests/data/mime with the given arguments; true for exit 0.
inline bool runPython(const std::string& script, const std::string& args) {
    std::string cmd =
        "python3 \"" + std::string(SMTP_TEST_DATA_DIR) + "/mime/" + script + "\" " + args;
    return std::system(cmd.c_str()) == 0;
}

// Collects the expectation lines for check_mime.py (values in hex).
struct Expect {
    std::string str;
    Expect& line(const std::string& kind, int i, const std::string& rest = "") {
        str += kind + " " + std::to_string(i) + (rest.empty() ? "" : " " + rest) + "\n";
        return *this;
    }
    Expect& parts(int n) { return line("PARTS", n); }
    Expect& type(int i, const std::string& t, bool m) {
        return line("TYPE", i, t + (m ? " 1" : " 0"));
    }
    Expect& body(int i, const std::string& bytes) { return line("BODY", i, toHex(bytes)); }
    Expect& text(int i, const std::string& utf8) { return line("TEXT", i, toHex(utf8)); }
    Expect& filename(int i, const std::string& utf8) { return line("FILENAME", i, toHex(utf8)); }
    Expect& header(int i, const std::string& n, const std::string& v) {
        return line("HEADER", i, n + " " + toHex(v));
    }
    Expect& addr(int i, const std::string& field, int j, const std::string& name,
                 const std::string& address) {
        return line("ADDR", i,
                    field + " " + std::to_string(j) + " " + toHex(name) + " " + toHex(address));
    }
};

// True when Python reads the message as expected; failures print
// Python's findings through the test log.
inline bool pythonAgrees(const std::string& message, const Expect& expect, const std::string& tag) {
    std::string msgPath = tempName(tag + ".eml"), expPath = tempName(tag + ".txt");
    writeFileUtf8(msgPath, message);
    writeFileUtf8(expPath, expect.str);
    bool ok = runPython("check_mime.py", "\"" + msgPath + "\" \"" + expPath + "\"");
    if (ok) {
        std::remove(msgPath.c_str());
        std::remove(expPath.c_str());
    }
    return ok;
}

// Python's view of a message (list_fields.py): the fields of every entity,
// or the Content-Type parameters, as (entity, name, value).
inline std::vector<std::tuple<int, std::string, std::string>> pythonView(const std::string& message,
                                                                         bool params) {
    std::vector<std::tuple<int, std::string, std::string>> view;
    if (!pythonEmailAvailable()) return view;
    std::string msg = tempName("view.eml");
    writeFileUtf8(msg, message);
    EXPECT_TRUE(runPython("list_fields.py", "\"" + msg + "\" > \"" + msg + ".out\""));
    std::ifstream lines(msg + ".out");
    std::string kind, key, hex;
    for (int index = 0; lines >> kind >> index >> key;) {
        if (kind == "P") lines >> hex;
        if ((kind == "P") == params) view.emplace_back(index, key, fromHex(hex));
    }
    lines.close();
    std::remove((msg + ".out").c_str());
    std::remove(msg.c_str());
    return view;
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

}  // namespace mimetest
