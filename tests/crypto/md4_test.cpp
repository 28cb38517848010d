#include "crypto/md4.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex.h"

namespace {

using cryptotest::hex;

std::string md4Hex(const std::string& s) {
    unsigned char d[Md4::kDigestSize];
    Md4::digest(s.data(), s.size(), d);
    return hex(d, sizeof(d));
}

struct Vector {
    std::string input;
    const char* digest;
};

// The test suite of RFC 1320, appendix A.5.
TEST(Md4, Rfc1320TestSuite) {
    const Vector kVectors[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const Vector& v : kVectors) EXPECT_EQ(md4Hex(v.input), v.digest) << '"' << v.input << '"';
}

// Lengths around the padding boundaries (the last byte of length must fit in
// the final block or spill into another), and a long input. Expected values
// from OpenSSL's legacy MD4.
TEST(Md4, PaddingBoundariesAndLongInput) {
    const struct {
        size_t length;
        const char* digest;
    } kVectors[] = {
        {55, "c889c81dd86c4d2e025778944ea02881"},  {56, "d5f9a9e9257077a5f08b0b92f348b0ad"},
        {57, "872097e6f78e3b53f890459d03bc6fb7"},  {63, "7ea3da77432d44c323671097d1348fc8"},
        {64, "52f5076fabd22680234a3fa9f9dc5732"},  {65, "330e377bf231f3cacfecc2c182fe7e5b"},
        {119, "e65dd227ccef97fa1d34d70189120f76"}, {120, "b03ddbd470b47c013e0c7ab2ddd763db"},
        {128, "cb4a20a561558e29460190c91dced59f"}, {1000000, "bbce80cc6bb65e5c6745e30d4eeca9a4"},
    };
    for (const auto& v : kVectors)
        EXPECT_EQ(md4Hex(std::string(v.length, 'a')), v.digest) << v.length << " x 'a'";
}

TEST(Md4, SplitUpdatesMatchOneShot) {
    std::vector<unsigned char> data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    // From OpenSSL's legacy MD4.
    const std::string expected = "bc3a8725529630d3c7a1fc6a9c42f2e2";
    for (size_t split = 0; split <= data.size(); ++split) {
        unsigned char d[Md4::kDigestSize];
        Md4 h;
        h.update(data.data(), split);
        h.update(nullptr, 0);
        h.update(data.data() + split, data.size() - split);
        h.finish(d);
        EXPECT_EQ(hex(d, sizeof(d)), expected) << "split at " << split;
    }
    unsigned char d[Md4::kDigestSize];
    Md4 h;
    for (unsigned char c : data) h.update(&c, 1);
    h.finish(d);
    EXPECT_EQ(hex(d, sizeof(d)), expected) << "byte by byte";
}

TEST(Md4, ResetStartsAFreshDigest) {
    Md4 h;
    h.update("leftover", 8);
    unsigned char d[Md4::kDigestSize];
    h.finish(d);
    h.reset();
    h.update(nullptr, 0);
    h.update("abc", 3);
    h.finish(d);
    EXPECT_EQ(hex(d, sizeof(d)), "a448017aaf21d8525fc10ae87aa6729d");
}

}  // namespace
