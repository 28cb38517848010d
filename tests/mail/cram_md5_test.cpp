#include "mail/cram_md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string respond(const std::string& user, const std::string& password, const std::string& challenge) {
    StringBuffer u, p, out;
    u.append(user.data(), static_cast<uint32_t>(user.size()));
    p.append(password.data(), static_cast<uint32_t>(password.size()));
    DataBuffer c;
    c.append(challenge.data(), static_cast<uint32_t>(challenge.size()));
    CramMD5::computeResponse(u, p, c, out);
    return std::string(out.getString(), out.length());
}

// Expected digests come from RFC 2195 and from Python's hmac module.
TEST(CramMD5, Rfc2195Example) {
    EXPECT_EQ(respond("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
              "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST(CramMD5, KeysLongerThanABlockAreHashedFirst) {
    std::string password;
    for (int c = 0x20; c < 0x20 + 80; ++c) password += static_cast<char>(c);
    EXPECT_EQ(respond("user", password, "<12345.67890@example.test>"),
              "user 3e9a2288406e3e292d3f488507259b4a");
}

TEST(CramMD5, EmptyChallengeAndLongUsernameStayOneLine) {
    EXPECT_EQ(respond("u", "secret", ""), "u 5c8db03f04cec0f43bcb060023914190");
    std::string user(40, 'a');
    std::string r = respond(user, "secret", "<1@x>");
    ASSERT_EQ(r.size(), 40u + 1 + 32);
    EXPECT_EQ(r.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(r.substr(41).find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(CramMD5, ChallengeWithZeroBytesIsHashedWhole) {
    // Differs from the digest of the text before the zero byte.
    std::string a = respond("u", "k", std::string("ab\0cd", 5));
    std::string b = respond("u", "k", "ab");
    EXPECT_NE(a, b);
}

}  // namespace
