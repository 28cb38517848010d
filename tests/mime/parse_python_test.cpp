// Messages made by Python's email package (multipart, base64,
// quoted-printable, RFC 2231 names, encoded words in several charsets) read
// by loadMime: same headers, same parts, same decoded bodies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mime_oracle.h"

using namespace mimetest;

namespace {

std::string readFile(const std::string& path, bool& ok) {
    std::ifstream f(path, std::ios::binary);
    ok = static_cast<bool>(f);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void walk(const Email2& e, std::vector<const Email2*>& out) {
    out.push_back(&e);
    for (uint32_t i = 0; i < e.numParts(); ++i) walk(*e.getPart(i), out);
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(ParsePython, MessagesFromPythonReadBackTheSame) {
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    std::string dir = ::testing::TempDir();
    std::string cmd = "python3 \"" + std::string(SMTP_TEST_DATA_DIR) + "/mime/make_messages.py\" \"" + dir + "\"";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    int checked = 0;
    for (int n = 0;; ++n) {
        bool ok = false;
        std::string raw = readFile(dir + "msg" + std::to_string(n) + ".eml", ok);
        if (!ok) break;
        std::string expect = readFile(dir + "msg" + std::to_string(n) + ".txt", ok);
        ASSERT_TRUE(ok);
        auto e = parse(raw);
        ASSERT_TRUE(e) << n;
        std::vector<const Email2*> parts;
        walk(*e, parts);
        std::istringstream lines(expect);
        std::string kind;
        size_t expectedParts = 0;
        while (lines >> kind) {
            SCOPED_TRACE("message " + std::to_string(n) + " " + kind);
            if (kind == "SUBJECT" || kind == "TO") {
                std::string hex;
                lines >> hex;
                StringBuffer v;
                e->getHeaderField(kind == "TO" ? "To" : "Subject", v);
                std::string got = str(v);
                if (kind == "TO") got.erase(std::remove(got.begin(), got.end(), '"'), got.end());
                EXPECT_EQ(got, fromHex(hex));
            } else if (kind == "PART") {
                int i;
                std::string type, hex;
                lines >> i >> type >> hex;
                ++expectedParts;
                ASSERT_LT(static_cast<size_t>(i), parts.size());
                EXPECT_EQ(lower(str(parts[i]->contentType())), type);
                if (parts[i]->numParts() == 0) {
                    EXPECT_EQ(toHex(str(parts[i]->body())), hex == "-" ? "-" : hex);
                }
            } else if (kind == "FILENAME") {
                int i;
                std::string hex;
                lines >> i >> hex;
                ASSERT_LT(static_cast<size_t>(i), parts.size());
                EXPECT_EQ(str(parts[i]->filename()), fromHex(hex));
            }
        }
        EXPECT_EQ(parts.size(), expectedParts);
        // And what we render from it, Python reads without defects.
        Expect none;
        EXPECT_TRUE(pythonAgrees(render(*e), none, "python_back"));
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

}  // namespace
