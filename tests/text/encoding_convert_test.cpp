#include "text/encoding_convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/code_pages.h"
#include "text/caches.h"
#include "text/code_page_tables.h"
#include "convert_test_support.h"

// Every expected byte string below was produced with Python 3's codecs (an
// implementation independent of this library) and pasted here:
//   kCp1252ToUtf8[b]: bytes([b]).decode('cp1252').encode('utf-8'), or
//                     {nullptr, -1} where that raises UnicodeDecodeError;
//   the other constants: text.encode(codec[, 'ignore']) or
//                     data.decode(codec, 'ignore').encode(codec), as noted.

namespace {

struct Bytes {
    const char* p;
    size_t n;
    std::string str() const { return std::string(p, n); }
};
#define B(s)             \
    Bytes {              \
        s, sizeof(s) - 1 \
    }

// clang-format off
// windows-1252 byte -> UTF-8 per the published mapping, {nullptr, -1} where
// the byte has none (Python raises UnicodeDecodeError for it).
const struct {
    const char* utf8;
    int len;
} kCp1252ToUtf8[256] = {
    {"\x00", 1}, {"\x01", 1}, {"\x02", 1}, {"\x03", 1},
    {"\x04", 1}, {"\x05", 1}, {"\x06", 1}, {"\x07", 1},
    {"\x08", 1}, {"\x09", 1}, {"\x0A", 1}, {"\x0B", 1},
    {"\x0C", 1}, {"\x0D", 1}, {"\x0E", 1}, {"\x0F", 1},
    {"\x10", 1}, {"\x11", 1}, {"\x12", 1}, {"\x13", 1},
    {"\x14", 1}, {"\x15", 1}, {"\x16", 1}, {"\x17", 1},
    {"\x18", 1}, {"\x19", 1}, {"\x1A", 1}, {"\x1B", 1},
    {"\x1C", 1}, {"\x1D", 1}, {"\x1E", 1}, {"\x1F", 1},
    {"\x20", 1}, {"\x21", 1}, {"\x22", 1}, {"\x23", 1},
    {"\x24", 1}, {"\x25", 1}, {"\x26", 1}, {"\x27", 1},
    {"\x28", 1}, {"\x29", 1}, {"\x2A", 1}, {"\x2B", 1},
    {"\x2C", 1}, {"\x2D", 1}, {"\x2E", 1}, {"\x2F", 1},
    {"\x30", 1}, {"\x31", 1}, {"\x32", 1}, {"\x33", 1},
    {"\x34", 1}, {"\x35", 1}, {"\x36", 1}, {"\x37", 1},
    {"\x38", 1}, {"\x39", 1}, {"\x3A", 1}, {"\x3B", 1},
    {"\x3C", 1}, {"\x3D", 1}, {"\x3E", 1}, {"\x3F", 1},
    {"\x40", 1}, {"\x41", 1}, {"\x42", 1}, {"\x43", 1},
    {"\x44", 1}, {"\x45", 1}, {"\x46", 1}, {"\x47", 1},
    {"\x48", 1}, {"\x49", 1}, {"\x4A", 1}, {"\x4B", 1},
    {"\x4C", 1}, {"\x4D", 1}, {"\x4E", 1}, {"\x4F", 1},
    {"\x50", 1}, {"\x51", 1}, {"\x52", 1}, {"\x53", 1},
    {"\x54", 1}, {"\x55", 1}, {"\x56", 1}, {"\x57", 1},
    {"\x58", 1}, {"\x59", 1}, {"\x5A", 1}, {"\x5B", 1},
    {"\x5C", 1}, {"\x5D", 1}, {"\x5E", 1}, {"\x5F", 1},
    {"\x60", 1}, {"\x61", 1}, {"\x62", 1}, {"\x63", 1},
    {"\x64", 1}, {"\x65", 1}, {"\x66", 1}, {"\x67", 1},
    {"\x68", 1}, {"\x69", 1}, {"\x6A", 1}, {"\x6B", 1},
    {"\x6C", 1}, {"\x6D", 1}, {"\x6E", 1}, {"\x6F", 1},
    {"\x70", 1}, {"\x71", 1}, {"\x72", 1}, {"\x73", 1},
    {"\x74", 1}, {"\x75", 1}, {"\x76", 1}, {"\x77", 1},
    {"\x78", 1}, {"\x79", 1}, {"\x7A", 1}, {"\x7B", 1},
    {"\x7C", 1}, {"\x7D", 1}, {"\x7E", 1}, {"\x7F", 1},
    {"\xE2\x82\xAC", 3}, {nullptr, -1}, {"\xE2\x80\x9A", 3}, {"\xC6\x92", 2},
    {"\xE2\x80\x9E", 3}, {"\xE2\x80\xA6", 3}, {"\xE2\x80\xA0", 3}, {"\xE2\x80\xA1", 3},
    {"\xCB\x86", 2}, {"\xE2\x80\xB0", 3}, {"\xC5\xA0", 2}, {"\xE2\x80\xB9", 3},
    {"\xC5\x92", 2}, {nullptr, -1}, {"\xC5\xBD", 2}, {nullptr, -1},
    {nullptr, -1}, {"\xE2\x80\x98", 3}, {"\xE2\x80\x99", 3}, {"\xE2\x80\x9C", 3},
    {"\xE2\x80\x9D", 3}, {"\xE2\x80\xA2", 3}, {"\xE2\x80\x93", 3}, {"\xE2\x80\x94", 3},
    {"\xCB\x9C", 2}, {"\xE2\x84\xA2", 3}, {"\xC5\xA1", 2}, {"\xE2\x80\xBA", 3},
    {"\xC5\x93", 2}, {nullptr, -1}, {"\xC5\xBE", 2}, {"\xC5\xB8", 2},
    {"\xC2\xA0", 2}, {"\xC2\xA1", 2}, {"\xC2\xA2", 2}, {"\xC2\xA3", 2},
    {"\xC2\xA4", 2}, {"\xC2\xA5", 2}, {"\xC2\xA6", 2}, {"\xC2\xA7", 2},
    {"\xC2\xA8", 2}, {"\xC2\xA9", 2}, {"\xC2\xAA", 2}, {"\xC2\xAB", 2},
    {"\xC2\xAC", 2}, {"\xC2\xAD", 2}, {"\xC2\xAE", 2}, {"\xC2\xAF", 2},
    {"\xC2\xB0", 2}, {"\xC2\xB1", 2}, {"\xC2\xB2", 2}, {"\xC2\xB3", 2},
    {"\xC2\xB4", 2}, {"\xC2\xB5", 2}, {"\xC2\xB6", 2}, {"\xC2\xB7", 2},
    {"\xC2\xB8", 2}, {"\xC2\xB9", 2}, {"\xC2\xBA", 2}, {"\xC2\xBB", 2},
    {"\xC2\xBC", 2}, {"\xC2\xBD", 2}, {"\xC2\xBE", 2}, {"\xC2\xBF", 2},
    {"\xC3\x80", 2}, {"\xC3\x81", 2}, {"\xC3\x82", 2}, {"\xC3\x83", 2},
    {"\xC3\x84", 2}, {"\xC3\x85", 2}, {"\xC3\x86", 2}, {"\xC3\x87", 2},
    {"\xC3\x88", 2}, {"\xC3\x89", 2}, {"\xC3\x8A", 2}, {"\xC3\x8B", 2},
    {"\xC3\x8C", 2}, {"\xC3\x8D", 2}, {"\xC3\x8E", 2}, {"\xC3\x8F", 2},
    {"\xC3\x90", 2}, {"\xC3\x91", 2}, {"\xC3\x92", 2}, {"\xC3\x93", 2},
    {"\xC3\x94", 2}, {"\xC3\x95", 2}, {"\xC3\x96", 2}, {"\xC3\x97", 2},
    {"\xC3\x98", 2}, {"\xC3\x99", 2}, {"\xC3\x9A", 2}, {"\xC3\x9B", 2},
    {"\xC3\x9C", 2}, {"\xC3\x9D", 2}, {"\xC3\x9E", 2}, {"\xC3\x9F", 2},
    {"\xC3\xA0", 2}, {"\xC3\xA1", 2}, {"\xC3\xA2", 2}, {"\xC3\xA3", 2},
    {"\xC3\xA4", 2}, {"\xC3\xA5", 2}, {"\xC3\xA6", 2}, {"\xC3\xA7", 2},
    {"\xC3\xA8", 2}, {"\xC3\xA9", 2}, {"\xC3\xAA", 2}, {"\xC3\xAB", 2},
    {"\xC3\xAC", 2}, {"\xC3\xAD", 2}, {"\xC3\xAE", 2}, {"\xC3\xAF", 2},
    {"\xC3\xB0", 2}, {"\xC3\xB1", 2}, {"\xC3\xB2", 2}, {"\xC3\xB3", 2},
    {"\xC3\xB4", 2}, {"\xC3\xB5", 2}, {"\xC3\xB6", 2}, {"\xC3\xB7", 2},
    {"\xC3\xB8", 2}, {"\xC3\xB9", 2}, {"\xC3\xBA", 2}, {"\xC3\xBB", 2},
    {"\xC3\xBC", 2}, {"\xC3\xBD", 2}, {"\xC3\xBE", 2}, {"\xC3\xBF", 2},
};

// iso-8859-1: bytes 0x00..0xFF decoded, as UTF-8
const Bytes kLatin1AllUtf8 =
    B("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F"
      "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F"
      "\x20\x21\x22\x23\x24\x25\x26\x27\x28\x29\x2A\x2B\x2C\x2D\x2E\x2F"
      "\x30\x31\x32\x33\x34\x35\x36\x37\x38\x39\x3A\x3B\x3C\x3D\x3E\x3F"
      "\x40\x41\x42\x43\x44\x45\x46\x47\x48\x49\x4A\x4B\x4C\x4D\x4E\x4F"
      "\x50\x51\x52\x53\x54\x55\x56\x57\x58\x59\x5A\x5B\x5C\x5D\x5E\x5F"
      "\x60\x61\x62\x63\x64\x65\x66\x67\x68\x69\x6A\x6B\x6C\x6D\x6E\x6F"
      "\x70\x71\x72\x73\x74\x75\x76\x77\x78\x79\x7A\x7B\x7C\x7D\x7E\x7F"
      "\xC2\x80\xC2\x81\xC2\x82\xC2\x83\xC2\x84\xC2\x85\xC2\x86\xC2\x87"
      "\xC2\x88\xC2\x89\xC2\x8A\xC2\x8B\xC2\x8C\xC2\x8D\xC2\x8E\xC2\x8F"
      "\xC2\x90\xC2\x91\xC2\x92\xC2\x93\xC2\x94\xC2\x95\xC2\x96\xC2\x97"
      "\xC2\x98\xC2\x99\xC2\x9A\xC2\x9B\xC2\x9C\xC2\x9D\xC2\x9E\xC2\x9F"
      "\xC2\xA0\xC2\xA1\xC2\xA2\xC2\xA3\xC2\xA4\xC2\xA5\xC2\xA6\xC2\xA7"
      "\xC2\xA8\xC2\xA9\xC2\xAA\xC2\xAB\xC2\xAC\xC2\xAD\xC2\xAE\xC2\xAF"
      "\xC2\xB0\xC2\xB1\xC2\xB2\xC2\xB3\xC2\xB4\xC2\xB5\xC2\xB6\xC2\xB7"
      "\xC2\xB8\xC2\xB9\xC2\xBA\xC2\xBB\xC2\xBC\xC2\xBD\xC2\xBE\xC2\xBF"
      "\xC3\x80\xC3\x81\xC3\x82\xC3\x83\xC3\x84\xC3\x85\xC3\x86\xC3\x87"
      "\xC3\x88\xC3\x89\xC3\x8A\xC3\x8B\xC3\x8C\xC3\x8D\xC3\x8E\xC3\x8F"
      "\xC3\x90\xC3\x91\xC3\x92\xC3\x93\xC3\x94\xC3\x95\xC3\x96\xC3\x97"
      "\xC3\x98\xC3\x99\xC3\x9A\xC3\x9B\xC3\x9C\xC3\x9D\xC3\x9E\xC3\x9F"
      "\xC3\xA0\xC3\xA1\xC3\xA2\xC3\xA3\xC3\xA4\xC3\xA5\xC3\xA6\xC3\xA7"
      "\xC3\xA8\xC3\xA9\xC3\xAA\xC3\xAB\xC3\xAC\xC3\xAD\xC3\xAE\xC3\xAF"
      "\xC3\xB0\xC3\xB1\xC3\xB2\xC3\xB3\xC3\xB4\xC3\xB5\xC3\xB6\xC3\xB7"
      "\xC3\xB8\xC3\xB9\xC3\xBA\xC3\xBB\xC3\xBC\xC3\xBD\xC3\xBE\xC3\xBF");
// us-ascii: bytes 0x00..0xFF decoded with errors="ignore", as UTF-8
const Bytes kAsciiAllUtf8 =
    B("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F"
      "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F"
      "\x20\x21\x22\x23\x24\x25\x26\x27\x28\x29\x2A\x2B\x2C\x2D\x2E\x2F"
      "\x30\x31\x32\x33\x34\x35\x36\x37\x38\x39\x3A\x3B\x3C\x3D\x3E\x3F"
      "\x40\x41\x42\x43\x44\x45\x46\x47\x48\x49\x4A\x4B\x4C\x4D\x4E\x4F"
      "\x50\x51\x52\x53\x54\x55\x56\x57\x58\x59\x5A\x5B\x5C\x5D\x5E\x5F"
      "\x60\x61\x62\x63\x64\x65\x66\x67\x68\x69\x6A\x6B\x6C\x6D\x6E\x6F"
      "\x70\x71\x72\x73\x74\x75\x76\x77\x78\x79\x7A\x7B\x7C\x7D\x7E\x7F");
// "Grüße € U+1D11E ok" in UTF-8, UTF-16BE, UTF-16LE
const Bytes kMixedUtf8 =
    B("\x47\x72\xC3\xBC\xC3\x9F\x65\x20\xE2\x82\xAC\x20\xF0\x9D\x84\x9E"
      "\x20\x6F\x6B");
const Bytes kMixedUtf16BE =
    B("\x00\x47\x00\x72\x00\xFC\x00\xDF\x00\x65\x00\x20\x20\xAC\x00\x20"
      "\xD8\x34\xDD\x1E\x00\x20\x00\x6F\x00\x6B");
const Bytes kMixedUtf16LE =
    B("\x47\x00\x72\x00\xFC\x00\xDF\x00\x65\x00\x20\x00\xAC\x20\x20\x00"
      "\x34\xD8\x1E\xDD\x20\x00\x6F\x00\x6B\x00");
// the same text to windows-1252 / iso-8859-1 with errors="ignore"
const Bytes kMixedCp1252 =
    B("\x47\x72\xFC\xDF\x65\x20\x80\x20\x20\x6F\x6B");
const Bytes kMixedLatin1 =
    B("\x47\x72\xFC\xDF\x65\x20\x20\x20\x6F\x6B");
// typographic text in UTF-8 and windows-1252 (every character maps)
const Bytes kTypoUtf8 =
    B("\xE2\x82\xAC\x20\x63\x61\x66\xC3\xA9\x20\xE2\x80\x93\x20\xE2\x80"
      "\x9C\x71\x75\x6F\x74\x65\x64\xE2\x80\x9D\x20\xC5\xBD\xE2\x80\xA6");
const Bytes kTypoCp1252 =
    B("\x80\x20\x63\x61\x66\xE9\x20\x96\x20\x93\x71\x75\x6F\x74\x65\x64"
      "\x94\x20\x8E\x85");
// invalid UTF-8 and its decoding with errors="ignore", as UTF-16LE
const struct {
    Bytes in;
    Bytes utf16;
} kBadUtf8[] = {
    {B("\xE2\x82\x41"), B("\x41\x00")},
    {B("\xF0\x9F\x98\x78"), B("\x78\x00")},
    {B("\xC0\xAF"), B("")},
    {B("\xED\xA0\x80\x7A"), B("\x7A\x00")},
    {B("\xF4\x90\x80\x80"), B("")},
    {B("\x61\x80\x62"), B("\x61\x00\x62\x00")},
    {B("\xE0\x80\x80"), B("")},
    {B("\xF8\x88\x80\x80\x80"), B("")},
    {B("\xC3"), B("")},
    {B("\xC3\xA9\xFF\xE2\x82\xAC"), B("\xE9\x00\xAC\x20")},
    {B("\xE0\xA0"), B("")},
    {B("\x78\xC1\xBF\x79"), B("\x78\x00\x79\x00")},
    {B("\xEF\xBF\xBE\xFE"), B("\xFE\xFF")},
};
// clang-format on


std::string hex(const std::string& s) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
        out += ' ';
    }
    return out;
}

}  // namespace

// ------------------------------------------------------------ single-byte tables

TEST(EncodingConvertTables, Windows1252EveryByteAgainstPython) {
    for (int b = 0; b < 256; ++b) {
        std::string in(1, static_cast<char>(b));
        Result r = conv(1252, 65001, in);
        if (kCp1252ToUtf8[b].len < 0) {
            EXPECT_FALSE(r.ok) << "byte " << b << " has no mapping";
            EXPECT_EQ(r.out, "") << "byte " << b;
        } else {
            std::string want(kCp1252ToUtf8[b].utf8, static_cast<size_t>(kCp1252ToUtf8[b].len));
            EXPECT_TRUE(r.ok) << "byte " << b;
            EXPECT_EQ(hex(r.out), hex(want)) << "byte " << b;
            // And back: the reverse map gives the same byte.
            Result back = conv(65001, 1252, want);
            EXPECT_TRUE(back.ok) << "byte " << b;
            EXPECT_EQ(back.out, in) << "byte " << b;
        }
    }
}

TEST(EncodingConvertTables, Windows1252WholeRangeDropsFiveBytes) {
    std::string all;
    std::string want;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
        if (kCp1252ToUtf8[b].len > 0)
            want.append(kCp1252ToUtf8[b].utf8, static_cast<size_t>(kCp1252ToUtf8[b].len));
    }
    Result r = conv(1252, 65001, all);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(hex(r.out), hex(want));
}

TEST(EncodingConvertTables, Latin1AndAsciiAgainstPython) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    Result l = conv(28591, 65001, all);
    EXPECT_TRUE(l.ok);
    EXPECT_EQ(hex(l.out), hex(kLatin1AllUtf8.str()));
    Result back = conv(65001, 28591, kLatin1AllUtf8.str());
    EXPECT_TRUE(back.ok);
    EXPECT_EQ(back.out, all);

    Result a = conv(20127, 65001, all);
    EXPECT_FALSE(a.ok) << "bytes above 0x7F are not ASCII";
    EXPECT_EQ(hex(a.out), hex(kAsciiAllUtf8.str()));
}

TEST(EncodingConvertTables, Utf8ToSingleBytePages) {
    Result w = conv(65001, 1252, kTypoUtf8.str());
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(hex(w.out), hex(kTypoCp1252.str()));
    Result back = conv(1252, 65001, kTypoCp1252.str());
    EXPECT_TRUE(back.ok);
    EXPECT_EQ(hex(back.out), hex(kTypoUtf8.str()));

    // Unmappable characters are dropped, the rest converted, the result false.
    Result m = conv(65001, 1252, kMixedUtf8.str());
    EXPECT_FALSE(m.ok);
    EXPECT_EQ(hex(m.out), hex(kMixedCp1252.str()));
    Result l = conv(65001, 28591, kMixedUtf8.str());
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(hex(l.out), hex(kMixedLatin1.str()));
    Result a = conv(1252, 20127, "plain \x80 text");
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.out, "plain  text");
}

TEST(EncodingConvertTables, SingleByteToSingleByteGoesThroughUtf16) {
    // 0xE9 is e-acute in both; 0x80 (euro in 1252) has no place in Latin-1.
    Result r = conv(1252, 28591, "caf\xE9 \x80!");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "caf\xE9 !");
    Result s = conv(28591, 1252, "\x80\xE9");  // U+0080 is not in windows-1252
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.out, "\xE9");
}

TEST(EncodingConvertTables, ZeroByteIsAlwaysU0000) {
    std::string in("a\0b", 3);
    Result r = conv(1252, 1200, in);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, std::string("a\0\0\0b\0", 6));
    Result back = conv(1200, 20127, r.out);
    EXPECT_TRUE(back.ok);
    EXPECT_EQ(back.out, in);
}

TEST(EncodingConvertTables, ReverseMapsSurviveReleaseCaches) {
    EXPECT_EQ(conv(65001, 1252, "\xE2\x82\xAC").out, "\x80");
    releaseCaches();
    EXPECT_EQ(conv(65001, 1252, "\xE2\x82\xAC").out, "\x80");
    const cptables::SingleByteTable* t = cptables::findSingleByte(1252);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->toUnicode[0x80], 0x20AC);
    EXPECT_EQ(cptables::findSingleByte(4242), nullptr);
}

// ------------------------------------------------------------ Unicode forms

TEST(EncodingConvertUnicode, Utf8AndUtf16BothWays) {
    Result le = conv(65001, 1200, kMixedUtf8.str());
    EXPECT_TRUE(le.ok);
    EXPECT_EQ(hex(le.out), hex(kMixedUtf16LE.str()));
    Result be = conv(65001, 1201, kMixedUtf8.str());
    EXPECT_TRUE(be.ok);
    EXPECT_EQ(hex(be.out), hex(kMixedUtf16BE.str()));
    Result fromBe = conv(1201, 65001, kMixedUtf16BE.str());
    EXPECT_TRUE(fromBe.ok);
    EXPECT_EQ(hex(fromBe.out), hex(kMixedUtf8.str()));
    Result fromLe = conv(1200, 65001, kMixedUtf16LE.str());
    EXPECT_TRUE(fromLe.ok);
    EXPECT_EQ(hex(fromLe.out), hex(kMixedUtf8.str()));
    Result swap = conv(1200, 1201, kMixedUtf16LE.str());
    EXPECT_TRUE(swap.ok);
    EXPECT_EQ(hex(swap.out), hex(kMixedUtf16BE.str()));
}

TEST(EncodingConvertUnicode, InvalidUtf8DroppedByteByByteLikePythonIgnore) {
    for (const auto& v : kBadUtf8) {
        Result r = conv(65001, 1200, v.in.str());
        EXPECT_FALSE(r.ok) << hex(v.in.str());
        EXPECT_EQ(hex(r.out), hex(v.utf16.str())) << "input " << hex(v.in.str());
    }
}

TEST(EncodingConvertUnicode, UnpairedSurrogatesHaveNoUtf8Form) {
    Result lone = conv(1200, 65001, std::string("\x00\xD8\x61\x00", 4));
    EXPECT_FALSE(lone.ok);
    EXPECT_EQ(lone.out, "a");
    Result trail = conv(1200, 65001, std::string("\x61\x00\x00\xDC", 4));
    EXPECT_FALSE(trail.ok);
    EXPECT_EQ(trail.out, "a");
    Result reversed = conv(1200, 65001, std::string("\x1E\xDD\x34\xD8", 4));
    EXPECT_FALSE(reversed.ok);
    EXPECT_EQ(reversed.out, "");
    // A surrogate pair is one character in UTF-8 but two unmappable units in
    // a single-byte page.
    Result pair = conv(1200, 1252, std::string("\x34\xD8\x1E\xDD!\x00", 6));
    EXPECT_FALSE(pair.ok);
    EXPECT_EQ(pair.out, "!");
}

TEST(EncodingConvertUnicode, OddTrailingByteOfUtf16Ignored) {
    Result r = conv(1200, 65001, std::string("A\0B", 3));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "A");
    Result be = conv(1201, 65001, std::string("\0A\0", 3));
    EXPECT_TRUE(be.ok);
    EXPECT_EQ(be.out, "A");
    Result one = conv(1200, 1252, std::string("A", 1));
    EXPECT_TRUE(one.ok);
    EXPECT_EQ(one.out, "");
}

// ------------------------------------------------------------ byte-order marks

TEST(EncodingConvertMarks, FeFfFrom1200IsBigEndian) {
    std::string in = std::string("\xFE\xFF", 2) + kMixedUtf16BE.str();
    Result r = conv(1200, 65001, in);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(hex(r.out), hex(kMixedUtf8.str()));
}

TEST(EncodingConvertMarks, FfFeFrom1201IsLittleEndian) {
    std::string in = std::string("\xFF\xFE", 2) + kMixedUtf16LE.str();
    Result r = conv(1201, 65001, in);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(hex(r.out), hex(kMixedUtf8.str()));
    Result le = conv(1200, 1252, std::string("\xFF\xFE\xE9\x00", 4));
    EXPECT_TRUE(le.ok);
    EXPECT_EQ(le.out, "\xE9");
}

TEST(EncodingConvertMarks, Utf8MarkDropped) {
    Result r = conv(65001, 1200,
                    "\xEF\xBB\xBF"
                    "A");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, std::string("A\0", 2));
    // A mark in the middle is text (U+FEFF), not a mark.
    Result mid = conv(65001, 1200, "A\xEF\xBB\xBF");
    EXPECT_TRUE(mid.ok);
    EXPECT_EQ(mid.out, std::string("A\0\xFF\xFE", 4));
}

TEST(EncodingConvertMarks, OnlyAMarkConvertsToNothing) {
    Result a = conv(65001, 1252, "\xEF\xBB\xBF");
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.out, "");
    Result b = conv(1200, 65001, "\xFE\xFF");
    EXPECT_TRUE(b.ok);
    EXPECT_EQ(b.out, "");
    Result c = conv(1201, 65001, "\xFF\xFE");
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.out, "");
}

TEST(EncodingConvertMarks, SameCodePageKeepsTheMark) {
    std::string in("\xFE\xFF\x00\x41", 4);
    Result r = conv(1200, 1200, in);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, in);
}

// ------------------------------------------------------------ contract

TEST(EncodingConvertContract, SameCodePagePassesInvalidBytes) {
    std::string bad("\xFF\xFE\xC0\x80\xED\xA0\x80", 7);
    Result r = conv(65001, 65001, bad);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, bad);
    Result t = conv(4242, 0, bad);  // target 0: unchanged, whatever the source
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(r.out, bad);
}

TEST(EncodingConvertContract, UnsupportedCodePageAppendsNothing) {
    EncodingConvert ec;
    DataBuffer out;
    out.append("kept", 4);
    EXPECT_FALSE(ec.convert(65001, 4242, "abc", 3, out));
    EXPECT_FALSE(ec.convert(4242, 65001, "abc", 3, out));
    EXPECT_EQ(bytesOf(out), "kept");
    EXPECT_FALSE(EncodingConvert::isSupported(4242));
    EXPECT_TRUE(EncodingConvert::isSupported(1252));
    EXPECT_TRUE(EncodingConvert::isSupported(1201));
}

TEST(EncodingConvertContract, AppendsToExistingOutput) {
    EncodingConvert ec;
    DataBuffer out;
    out.append(">", 1);
    EXPECT_TRUE(ec.convert(1252, 65001, "\xE9", 1, out));
    EXPECT_TRUE(ec.convert(1252, 65001, "\x80", 1, out));
    EXPECT_EQ(bytesOf(out), ">\xC3\xA9\xE2\x82\xAC");
}

TEST(EncodingConvertContract, EmptyInputIsSuccess) {
    Result r = conv(65001, 1252, "");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "");
    EncodingConvert ec;
    DataBuffer out;
    EXPECT_TRUE(ec.convert(1252, 65001, nullptr, 5, out));
    EXPECT_EQ(out.size(), 0u);
}

TEST(EncodingConvertContract, ConvertToAnsiFollowsTheProcessCodePage) {
    EncodingConvert ec;
    DataBuffer out;
    platform::setCodePagesForTesting(1252, 437);
    EXPECT_TRUE(ec.convertToAnsi(65001, "\xE2\x82\xAC", 3, out));
    EXPECT_EQ(bytesOf(out), "\x80");
    out.clear();
    platform::setCodePagesForTesting(28591, 437);
    EXPECT_FALSE(ec.convertToAnsi(65001, "\xE2\x82\xAC", 3, out));
    EXPECT_EQ(out.size(), 0u);
    platform::setCodePagesForTesting(0, 0);
}

TEST(EncodingConvertContract, TraceIsPerConversion) {
    EncodingConvert ec;
    DataBuffer out;
    ec.convert(1252, 65001, "a", 1, out);
    std::string first = ec.stepTrace().getString();
    EXPECT_EQ(first.size(), 2u) << "one letter for each of the two stages";
    ec.convert(65001, 65001, "a", 1, out);
    std::string second = ec.stepTrace().getString();
    EXPECT_EQ(second.size(), 1u) << "cleared at the start, one pass-through stage";
    ec.convert(1200, 65001, "\xFE\xFF\x00\x41", 4, out);
    EXPECT_EQ(std::string(ec.stepTrace().getString()).size(), 3u) << "mark, swap, encode";
}

TEST(EncodingConvertContract, LargeTextRoundTrip) {
    // Long enough to cross every internal block boundary many times.
    std::string text;
    for (int i = 0; i < 20000; ++i) text += kTypoUtf8.str();
    Result w = conv(65001, 1252, text);
    ASSERT_TRUE(w.ok);
    Result u16 = conv(1252, 1201, w.out);
    ASSERT_TRUE(u16.ok);
    Result back = conv(1201, 65001, u16.out);
    ASSERT_TRUE(back.ok);
    EXPECT_TRUE(back.out == text);
    EXPECT_EQ(w.out.size(), 20000u * kTypoCp1252.n);
}
