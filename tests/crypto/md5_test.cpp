#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hex.h"

namespace {

using cryptotest::hex;

std::string md5Hex(const std::string& s) {
    unsigned char d[16];
    Md5::digest(s.data(), s.size(), d);
    return hex(d, 16);
}

std::string hmacHex(const std::string& key, const std::string& msg) {
    unsigned char d[16];
    hmacMd5(key.data(), key.size(), msg.data(), msg.size(), d);
    return hex(d, 16);
}

// The test suite of RFC 1321, appendix A.5.
TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5Hex("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, IncrementalUpdatesMatchOneShotAcrossBlockBoundaries) {
    std::string data;
    for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 7 + 3));
    for (size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
        unsigned char whole[16], pieces[16];
        Md5::digest(data.data(), len, whole);
        Md5 h;
        for (size_t off = 0; off < len; off += 13)
            h.update(data.data() + off, std::min<size_t>(13, len - off));
        h.finish(pieces);
        EXPECT_EQ(hex(whole, 16), hex(pieces, 16)) << "length " << len;
    }
}

// RFC 2202, section 2: the HMAC-MD5 test cases.
TEST(HmacMd5, Rfc2202TestCases) {
    EXPECT_EQ(hmacHex(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hmacHex("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hmacHex(std::string(16, '\xaa'), std::string(50, '\xdd')),
              "56be34521d144c88dbb8c733f0e8b3f6");
    std::string key4;
    for (int i = 1; i <= 25; ++i) key4.push_back(static_cast<char>(i));
    EXPECT_EQ(hmacHex(key4, std::string(50, '\xcd')), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(hmacHex(std::string(16, '\x0c'), "Test With Truncation"),
              "56461ef2342edc00f9bab995690efd4c");
    // Keys longer than a block are hashed first.
    EXPECT_EQ(
        hmacHex(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
        "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(hmacHex(std::string(80, '\xaa'),
                      "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

// RFC 2195: the CRAM-MD5 example digest.
TEST(HmacMd5, Rfc2195CramMd5Example) {
    EXPECT_EQ(hmacHex("tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
              "b913a602c7eda7a495b4e6e7334d3890");
}

}  // namespace
