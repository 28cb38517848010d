// Messages made by Python's email package (multipart, base64,
// quoted-printable, RFC 2231 names, encoded words in several charsets) read
// by loadMime: same headers, same parts, same decoded bodies.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "mime_oracle.h"

using namespace mimetest;

namespace {

void walk(const Email2& e, std::vector<const Email2*>& out) {
    out.push_back(&e);
    for (uint32_t i = 0; i < e.numParts(); ++i) walk(*e.getPart(i), out);
}

TEST(ParsePython, MessagesFromPythonReadBackTheSame) {
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    const std::string dir = tempName("python/");
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(runPython("make_messages.py", "\"" + dir + "\""));
    int n = 0;
    for (std::string raw, expect; readFile(dir + "msg" + std::to_string(n) + ".eml", raw); ++n) {
        ASSERT_TRUE(readFile(dir + "msg" + std::to_string(n) + ".txt", expect));
        auto e = parse(raw);
        ASSERT_TRUE(e) << n;
        std::vector<const Email2*> parts;
        walk(*e, parts);
        std::istringstream lines(expect);
        size_t expectedParts = 0;
        for (std::string kind, hex, type; lines >> kind;) {
            SCOPED_TRACE("message " + std::to_string(n) + " " + kind);
            size_t i = 0;
            if (kind == "SUBJECT" || kind == "TO") {
                lines >> hex;
                StringBuffer v;
                e->getHeaderField(kind == "TO" ? "To" : "Subject", v);
                std::string got = str(v);
                if (kind == "TO") got.erase(std::remove(got.begin(), got.end(), '"'), got.end());
                EXPECT_EQ(got, fromHex(hex));
            } else if (kind == "PART") {
                lines >> i >> type >> hex;
                ++expectedParts;
                ASSERT_LT(i, parts.size());
                std::string got = str(parts[i]->contentType());
                std::transform(got.begin(), got.end(), got.begin(),
                               [](char c) { return std::tolower(c); });
                EXPECT_EQ(got, type);
                if (parts[i]->numParts() == 0) {
                    EXPECT_EQ(toHex(str(parts[i]->body())), hex);
                }
            } else if (kind == "FILENAME") {
                lines >> i >> hex;
                ASSERT_LT(i, parts.size());
                EXPECT_EQ(str(parts[i]->filename()), fromHex(hex));
            }
        }
        EXPECT_EQ(parts.size(), expectedParts);
        // And what we render from it, Python reads without defects.
        EXPECT_TRUE(pythonAgrees(render(*e), Expect(), "python_back"));
    }
    EXPECT_GE(n, 3);
    std::filesystem::remove_all(dir);
}

}  // namespace
