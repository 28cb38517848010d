#include <gtest/gtest.h>

#include <string>

#include "text/encoding_convert.h"
#include "convert_test_support.h"

namespace {
const std::string kToDouble = "\x1B$B";
const std::string kToAscii = "\x1B(B";
}  // namespace

TEST(Iso2022Jp, EncodesThroughShiftJis) {
    // あ is Shift_JIS 82 A0, JIS 24 22.
    EXPECT_EQ(conv(65001, 50220, "\xE3\x81\x82").out, kToDouble + "$\"" + kToAscii);
    EXPECT_EQ(conv(65001, 50221, "a\xE3\x81\x82\r\nb").out,
              "a" + kToDouble + "$\"" + kToAscii + "\r\nb");
    EXPECT_EQ(conv(932, 50222, "\x81\x40").out, kToDouble + "!!" + kToAscii);
    // Plain ASCII needs no escape at all.
    EXPECT_EQ(conv(65001, 50220, "abc").out, "abc");
}

TEST(Iso2022Jp, HalfWidthKatakanaFoldedAndVoicedMarksMerged) {
    // ｶ (B6) -> カ (JIS 25 2B); ｶﾞ (B6 DE) -> ガ (25 2C); ﾊﾟ (CA DF) -> パ (25 51);
    // ｱﾞ (B1 DE): no combined form, ア (25 22) then ゛ (21 2B).
    EXPECT_EQ(conv(932, 50220, "\xB6").out, kToDouble + "%+" + kToAscii);
    EXPECT_EQ(conv(932, 50220, "\xB6\xDE").out, kToDouble + "%," + kToAscii);
    EXPECT_EQ(conv(932, 50220, "\xCA\xDF").out, kToDouble + "%Q" + kToAscii);
    EXPECT_EQ(conv(932, 50220, "\xB1\xDE").out, kToDouble + "%\"!+" + kToAscii);
    EXPECT_EQ(conv(932, 50220, "\xB3\xDE").out, kToDouble + "%t" + kToAscii);  // ヴ
    // From UTF-8 half-width forms too.
    EXPECT_EQ(conv(65001, 50220, "\xEF\xBD\xB6\xEF\xBE\x9E").out, kToDouble + "%," + kToAscii);
}

TEST(Iso2022Jp, Decodes) {
    EXPECT_EQ(conv(50220, 65001, kToDouble + "$\"" + kToAscii + "a").out, "\xE3\x81\x82" "a");
    EXPECT_EQ(conv(50220, 932, "\x1B$@$\"\x1B(J!").out, "\x82\xA0!");
    // ESC ( I: half-width katakana, high bit set.
    EXPECT_EQ(conv(50221, 932, "\x1B(I6^\x1B(B").out, "\xB6\xDE");
    // CR and LF end double-byte mode.
    EXPECT_EQ(conv(50220, 65001, kToDouble + "$\"\r\n$\"").out, "\xE3\x81\x82\r\n$\"");
}

TEST(Iso2022Kr, DesignatorAndShiftCodes) {
    // 가 is 949 B0 A1.
    EXPECT_EQ(conv(65001, 50225, "a\xEA\xB0\x80" "b").out, "\x1B$)Ca\x0E\x30\x21\x0F" "b");
    EXPECT_EQ(conv(949, 50225, "\xB0\xA1\xB0\xA1\r\n").out, "\x1B$)C\x0E\x30\x21\x30\x21\x0F\r\n");
    EXPECT_EQ(conv(50225, 65001, "\x1B$)Ca\x0E\x30\x21\x0F" "b").out, "a\xEA\xB0\x80" "b");
    EXPECT_EQ(conv(50225, 949, "\x0E\x30\x21\x0F").out, "\xB0\xA1");
    // Extended 949 characters (trail byte below 0xA1) cannot be written.
    Result r = conv(949, 50225, "\x81\x41z");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "\x1B$)Cz");
}
