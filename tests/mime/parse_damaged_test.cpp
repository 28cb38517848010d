// loadMime on text too big, too deep or too many (refused or cut at the
// engine's limits, quickly), and on the fuzz seeds cut, repeated and
// spliced: nothing reads out of bounds or runs away (run under the sanitizer
// build too). Damaged text of ordinary size is in tests/data/mime/trees.txt;
// fuzz/load_mime_fuzz.cpp goes further.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "diag/logger.h"
#include "mime/mime_message.h"
#include "mime_oracle.h"

using namespace mimetest;

namespace {

int depthOf(const Email2& e) {
    int d = 0;
    for (uint32_t i = 0; i < e.numParts(); ++i) d = std::max(d, depthOf(*e.getPart(i)));
    return d + 1;
}

TEST(ParseDamaged, TheTwentyMillionByteRule) {
    Logger log;
    std::string big(MimeMessage2::kMaxSeparatorless + 1, 'a');
    EXPECT_EQ(Email2::createFromMime(big.data(), static_cast<uint32_t>(big.size()), log), nullptr);
    StringBuffer text;
    log.GetText(text);
    EXPECT_NE(str(text).find("This is not MIME."), std::string::npos) << str(text);
    big.pop_back();
    EXPECT_TRUE(parse(big));
    // With a separator, size does not matter.
    auto sep = parse("X: 1\r\n\r\n" + big);
    ASSERT_TRUE(sep);
    EXPECT_EQ(sep->body().size(), big.size());
}

TEST(ParseDamaged, DeepNestingIsCapped) {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) +
                "\"\r\n\r\n--b" + std::to_string(i) + "\r\n";
    auto e = parse(text + "Content-Type: text/plain\r\n\r\ndeep");
    ASSERT_TRUE(e);
    EXPECT_LE(depthOf(*e), MimeMessage2::kMaxDepth + 1);
    EXPECT_GE(depthOf(*e), MimeMessage2::kMaxDepth);
    // What lies below the cap is kept as text, and renders again.
    EXPECT_NE(render(*e).find("deep"), std::string::npos);
}

TEST(ParseDamaged, HugeHeadersAndPartCountsAreBounded) {
    auto start = std::chrono::steady_clock::now();
    std::string many;
    for (int i = 0; i < 120000; ++i) many += "X-F: v\r\n";
    auto e = parse(many + "\r\nbody");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->header().numFields(), MimeMessage2::kMaxFields);

    std::string parts = "Content-Type: multipart/mixed; boundary=\"bnd\"\r\n\r\n";
    for (int i = 0; i < 40000; ++i) parts += "--bnd\r\n";
    auto p = parse(parts);
    ASSERT_TRUE(p);
    EXPECT_LT(p->numParts(), MimeMessage2::kMaxEntities);

    // Many "=?" with no end must not be searched again and again.
    for (const char* piece : {"=?a?Q?x", "=?abc"}) {
        std::string words = "Subject: ";
        for (int i = 0; i < 200000; ++i) words += piece;
        EXPECT_TRUE(parse(words + "\r\n\r\n"));
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              30.0);
}

// A small deterministic fuzz loop over the seed corpus, with the bytes that
// steer the parser; what loads renders and copies.
TEST(ParseDamaged, MutatedSeedsNeverCrash) {
    std::vector<std::string> seeds = {
        "Content-Type: multipart/mixed; boundary=\"bnd\"\r\n\r\n--bnd\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nQUJD\r\n--bnd--\r\n",
        "Subject: =?utf-8?Q?a?=\nTo: x@y; =?iso-8859-1?B?5Q==?= <z@w>\n\nbody\n"};
    for (const char* name : {"plain", "mixed", "nested", "lf_words", "crcr", "guessed", "attach"}) {
        EXPECT_TRUE(
            readFile(std::string(SMTP_SOURCE_DIR) + "/fuzz/corpus/load_mime/" + name + ".eml",
                     seeds.emplace_back()));
    }
    // The bytes that steer the parser, split at "|".
    std::vector<std::string> tokens;
    std::istringstream steer(
        "\r\n|\n|\r|\r\n\r\n|--b|--b--|=?|?=|?Q?|=?utf-8?B?|\"|;|*0*=|%|=|\t|:|"
        "Content-Type: multipart/mixed; boundary=b\r\n|Content-Transfer-Encoding: base64\r\n|"
        "Content-Transfer-Encoding: quoted-printable\r\n");
    for (std::string t; std::getline(steer, t, '|');) tokens.push_back(t);
    std::mt19937 rng(20240607);
    LogNull log;
    for (int round = 0; round < 3000; ++round) {
        std::string s = seeds[rng() % seeds.size()];
        for (int k = 0, edits = 1 + static_cast<int>(rng() % 6); k < edits && !s.empty(); ++k) {
            size_t at = rng() % (s.size() + 1);
            const unsigned op = rng() % 5;
            if (op == 0) s.insert(at, tokens[rng() % tokens.size()]);
            if (op == 1) s.resize(at);
            if (op == 2 && at < s.size()) s[at] = static_cast<char>(rng() & 0xFF);
            if (op == 3) s.insert(at, s.substr(rng() % s.size(), rng() % 64));
            if (op == 4) s.erase(at, rng() % 16);
        }
        auto e = parse(s);
        ASSERT_TRUE(e);
        render(*e);
        ASSERT_TRUE(cloneOf(*e));
    }
}

}  // namespace
