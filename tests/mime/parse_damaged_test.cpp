// loadMime on text nested too deep, and on the fuzz seeds cut, repeated and
// spliced: nothing reads out of bounds or runs away (run under the sanitizer
// build too). Text too big or too many is in tests/data/mime/limits.txt,
// damaged text of ordinary size in trees.txt; fuzz/load_mime_fuzz.cpp goes
// further.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "mime/mime_message.h"
#include "mime_test_support.h"

using namespace mimetest;

namespace {

int depthOf(const Email2& e) {
    int d = 0;
    for (uint32_t i = 0; i < e.numParts(); ++i) d = std::max(d, depthOf(*e.getPart(i)));
    return d + 1;
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

// A small deterministic fuzz loop over the seeds, with the bytes that steer
// the parser (fuzz_steering.txt); what loads renders and copies.
TEST(ParseDamaged, MutatedSeedsNeverCrash) {
    std::vector<std::string> seeds, tokens;
    for (const Line& l : readCases("fuzz_steering.txt")) {
        std::vector<std::string>& to = l.verb == "seed" ? seeds : tokens;
        to.insert(to.end(), l.args.begin(), l.args.end());
    }
    std::vector<std::filesystem::path> files;
    std::error_code ec;  // a missing corpus fails the count below
    for (const auto& f :
         std::filesystem::directory_iterator(SMTP_SOURCE_DIR "/fuzz/corpus/load_mime", ec))
        files.push_back(f.path());
    std::sort(files.begin(), files.end());  // the same rounds everywhere
    for (const auto& f : files) EXPECT_TRUE(readFile(f.string(), seeds.emplace_back()));
    ASSERT_GE(seeds.size(), 9u);  // two of fuzz_steering.txt, seven of the corpus
    std::mt19937 rng(20240607);
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
