#include <gtest/gtest.h>

#include <string>

#include "text/encoding_convert.h"
#include "convert_test_support.h"

namespace {
std::string s(const char* p, size_t n) { return std::string(p, n); }
}  // namespace

// The examples of RFC 2152, section "Examples" (Python's utf-7 codec gives the
// same bytes).
TEST(Utf7, Rfc2152ExamplesEncode) {
    EXPECT_EQ(conv(65001, 65000, "A\xE2\x89\xA2\xCE\x91.").out, "A+ImIDkQ.");
    EXPECT_EQ(conv(65001, 65000, "Hi Mom -\xE2\x98\xBA-!").out, "Hi Mom -+Jjo--!");
    EXPECT_EQ(conv(65001, 65000, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E").out, "+ZeVnLIqe-");
    EXPECT_EQ(conv(65001, 65000, "Item 3 is \xC2\xA3" "1.").out, "Item 3 is +AKM-1.");
}

TEST(Utf7, Rfc2152ExamplesDecode) {
    EXPECT_EQ(conv(65000, 65001, "A+ImIDkQ.").out, "A\xE2\x89\xA2\xCE\x91.");
    EXPECT_EQ(conv(65000, 65001, "Hi Mom -+Jjo--!").out, "Hi Mom -\xE2\x98\xBA-!");
    EXPECT_EQ(conv(65000, 65001, "+ZeVnLIqe-").out, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
    EXPECT_EQ(conv(65000, 65001, "+ZeVnLIqe").out, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
    EXPECT_EQ(conv(65000, 65001, "Item 3 is +AKM-1.").out, "Item 3 is \xC2\xA3" "1.");
}

TEST(Utf7, PlusSignSurrogatesAndSpecials) {
    EXPECT_EQ(conv(65001, 65000, "1+1").out, "1+-1");
    EXPECT_EQ(conv(65000, 65001, "1+-1").out, "1+1");
    // U+1F600 as a surrogate pair (Python: b'+2D3eAA-').
    EXPECT_EQ(conv(65001, 65000, "\xF0\x9F\x98\x80").out, "+2D3eAA-");
    EXPECT_EQ(conv(65000, 65001, "+2D3eAA-").out, "\xF0\x9F\x98\x80");
    // "~" and "\" are not written directly (Python: b'+AH4AXA-').
    EXPECT_EQ(conv(65001, 65000, "~\\").out, "+AH4AXA-");
    EXPECT_EQ(conv(65001, 65000, "a b\r\n!").out, "a b\r\n!");
    // Round trip through UTF-16BE.
    Result r = conv(65000, 1201, "+AKM-");
    EXPECT_EQ(r.out, s("\x00\xA3", 2));
    EXPECT_EQ(conv(1201, 65000, r.out).out, "+AKM-");
    // A byte of 0x80 or above is no UTF-7.
    Result bad = conv(65000, 65001, "a\xE9z");
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.out, "az");
}

TEST(Utf32, BothEndiansBothWays) {
    std::string le = s("A\0\0\0\xAC\x20\0\0\x00\xF6\x01\x00", 12);
    std::string be = s("\0\0\0A\0\0\x20\xAC\x00\x01\xF6\x00", 12);
    std::string utf8 = "A\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(conv(65005, 65001, le).out, utf8);
    EXPECT_EQ(conv(65006, 65001, be).out, utf8);
    EXPECT_EQ(conv(65001, 65005, utf8).out, le);
    EXPECT_EQ(conv(65001, 65006, utf8).out, be);
    EXPECT_EQ(conv(65005, 65006, le).out, be);
    EXPECT_EQ(conv(65006, 1200, be).out, s("A\0\xAC\x20\x3D\xD8\x00\xDE", 8));
    EXPECT_EQ(conv(65005, 1252, s("\xE9\0\0\0", 4)).out, "\xE9");
}

TEST(Utf32, OnlyWholeUnitsCount) {
    Result r = conv(65005, 65001, s("A\0\0", 3));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "");
    r = conv(65006, 65001, s("\0\0\0AB", 5));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "A");
    r = conv(65005, 65001, s("\0\0\x11\0A\0\0\0", 8));  // U+110000 is no character
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "A");
}

TEST(Marks, Utf16MarksAndOddBytes) {
    EXPECT_EQ(conv(1201, 65001, s("\xFF\xFE" "A\0", 4)).out, "A");
    EXPECT_EQ(conv(1200, 65001, s("\xFE\xFF\0A", 4)).out, "A");
    Result r = conv(1201, 65001, s("\0A\0", 3));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "A");
    r = conv(1200, 65001, s("\xFF\xFE", 2));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "");
    r = conv(65001, 1200, "\xEF\xBB\xBF");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "");
    // Only the first mark counts.
    EXPECT_EQ(conv(65001, 1200, "\xEF\xBB\xBF\xEF\xBB\xBF").out, s("\xFF\xFE", 2));
}

TEST(Mode0, DropsUnmappableCharactersAndGoesOn) {
    EncodingConvert ec;
    EXPECT_EQ(ec.unconvertibleMode(), 0);
    DataBuffer out;
    EXPECT_FALSE(ec.convert(65001, 28591, "a\xE2\x82\xAC" "b\xE6\x97\xA5" "c", 9, out));
    EXPECT_EQ(bytesOf(out), "abc");
    out.clear();
    EXPECT_FALSE(ec.convert(65001, 932, "x\xD0\x96\xEA\xB0\x80y", 7, out));  // Ж maps, 가 not
    EXPECT_EQ(bytesOf(out), "x\x84\x47y");
    out.clear();
    EXPECT_FALSE(ec.convert(1252, 20127, "\xE9t\xE9", 3, out));
    EXPECT_EQ(bytesOf(out), "t");
}

TEST(PassThrough, SamePageKeepsInvalidInput) {
    for (unsigned cp : {932u, 50220u, 50225u, 65000u, 65005u, 10004u, 4242u}) {
        std::string bad("\x82\xFF\x1B\x24\xFE", 5);
        Result r = conv(cp, cp, bad);
        EXPECT_TRUE(r.ok) << cp;
        EXPECT_EQ(r.out, bad) << cp;
    }
}
