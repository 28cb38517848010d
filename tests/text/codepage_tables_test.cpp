#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "convert_test_support.h"
#include "text/caches.h"
#include "text/code_page_tables.h"
#include "text/encoding_convert.h"

namespace {

std::string unhex(const std::string& h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

std::string units16(const std::vector<uint16_t>& u) {
    std::string s;
    for (uint16_t x : u) {
        s += static_cast<char>(x & 0xFF);
        s += static_cast<char>(x >> 8);
    }
    return s;
}

// Every (sequence, unit) of a page's table.
struct Mapping {
    std::string bytes;
    uint16_t unit;
};

std::vector<Mapping> mappingsOf(unsigned cp) {
    std::vector<Mapping> m;
    if (const cptables::SingleByteTable* t = cptables::findSingleByte(cp)) {
        for (int b = 1; b < 256; ++b)
            if (t->toUnicode[b]) m.push_back({std::string(1, static_cast<char>(b)), t->toUnicode[b]});
    } else if (const cptables::MultiByteTable* t = cptables::findMultiByte(cp)) {
        for (int b = 1; b < 256; ++b) {
            uint16_t u = t->single[b];
            if (!u && b < 0x80 && t->asciiLow) u = static_cast<uint16_t>(b);
            if (u) m.push_back({std::string(1, static_cast<char>(b)), u});
            if (t->twoByte[b])
                for (int c = 0; c < 256; ++c)
                    if (t->twoByte[b][c])
                        m.push_back({std::string{static_cast<char>(b), static_cast<char>(c)},
                                     t->twoByte[b][c]});
        }
        for (uint32_t i = 0; i < t->threeCount; ++i) {
            uint32_t k = t->threeKeys[i];
            m.push_back({std::string{static_cast<char>(k >> 16), static_cast<char>(k >> 8),
                                     static_cast<char>(k)},
                         t->threeUnits[i]});
        }
    }
    return m;
}

const std::vector<unsigned> kSingleBytePages = {
    37, 437, 500, 708, 720, 737, 775, 850, 852, 855, 857, 858, 860, 861, 862, 863, 864, 865,
    866, 869, 870, 874, 875, 1026, 1047, 1140, 1141, 1142, 1143, 1144, 1145, 1146, 1147, 1148,
    1149, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 10000, 10004, 10005, 10006,
    10007, 10010, 10017, 10021, 10029, 10079, 10081, 10082, 20105, 20106, 20107, 20108, 20127,
    20261, 20269, 20273, 20277, 20278, 20280, 20284, 20285, 20290, 20297, 20420, 20423, 20424,
    20838, 20866, 20871, 20880, 20905, 20924, 21025, 21866, 28591, 28592, 28593, 28594, 28595,
    28596, 28597, 28598, 28599, 28603, 28605, 38598};
const std::vector<unsigned> kMultiBytePages = {932, 936, 949, 950, 1361, 10001, 51932, 51936, 51949};
// Supported in name, but no published mapping on this machine.
const std::vector<unsigned> kNoSource = {10005, 10021, 20105, 20838, 20924, 10001};

bool contains(const std::vector<unsigned>& v, unsigned x) {
    for (unsigned y : v)
        if (y == x) return true;
    return false;
}

}  // namespace

TEST(CodePageTables, TheSpecListsNinetyFourAndNinePages) {
    EXPECT_EQ(kSingleBytePages.size(), 94u);
    EXPECT_EQ(kMultiBytePages.size(), 9u);
    const unsigned* pages;
    uint32_t n = cptables::tablePages(&pages);
    EXPECT_EQ(n, 94u + 9u - kNoSource.size());
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_TRUE(contains(kSingleBytePages, pages[i]) || contains(kMultiBytePages, pages[i]))
            << pages[i];
        EXPECT_NE(cptables::sourceOf(pages[i]), nullptr);
    }
    for (unsigned cp : kSingleBytePages)
        EXPECT_EQ(cptables::findSingleByte(cp) != nullptr, !contains(kNoSource, cp)) << cp;
    for (unsigned cp : kMultiBytePages)
        EXPECT_EQ(cptables::findMultiByte(cp) != nullptr, !contains(kNoSource, cp)) << cp;
}

TEST(CodePageTables, PagesWithoutAPublishedMappingFailLikeUnknownOnes) {
    for (unsigned cp : kNoSource) {
        EXPECT_FALSE(EncodingConvert::isSupported(cp)) << cp;
        Result a = conv(65001, cp, "abc");
        EXPECT_FALSE(a.ok);
        EXPECT_EQ(a.out, "");
        Result b = conv(cp, 65001, "abc");
        EXPECT_FALSE(b.ok);
        EXPECT_EQ(b.out, "");
    }
    for (unsigned cp : {20932u, 52936u, 54936u, 50227u, 57002u, 20000u, 29001u, 12000u}) {
        EXPECT_FALSE(conv(65001, cp, "abc").ok) << cp;
        EXPECT_EQ(conv(cp, 1200, "abc").out, "") << cp;
    }
}

// Every mappable character of every table page survives page -> UTF-16 ->
// page -> UTF-16; every byte sequence that is the page's chosen encoding of
// its character comes back byte for byte.
TEST(CodePageTables, EveryMappableCharacterRoundTrips) {
    const unsigned* pages;
    uint32_t n = cptables::tablePages(&pages);
    for (uint32_t p = 0; p < n; ++p) {
        unsigned cp = pages[p];
        // x-mac-arabic input is reordered and rewritten before the table
        // step (MacArabicInputPreparation), so its decoding is not the table.
        if (cp == 10004) continue;
        std::vector<Mapping> maps = mappingsOf(cp);
        ASSERT_FALSE(maps.empty()) << cp;
        std::vector<uint16_t> units;
        for (const Mapping& m : maps) units.push_back(m.unit);
        Result enc = conv(1200, cp, units16(units));
        EXPECT_TRUE(enc.ok) << "page " << cp;
        Result dec = conv(cp, 1200, enc.out);
        EXPECT_TRUE(dec.ok) << "page " << cp;
        EXPECT_EQ(dec.out, units16(units)) << "page " << cp;
        // Byte sequences: each decodes to its unit; re-encoding gives the
        // same bytes unless another sequence is the page's choice for it.
        size_t same = 0;
        for (const Mapping& m : maps) {
            // A lone byte that is also a lead byte cannot be tested on its
            // own in the middle of text, but alone it is the last byte.
            Result d = conv(cp, 1200, m.bytes);
            EXPECT_EQ(d.out, units16({m.unit})) << "page " << cp;
            if (conv(1200, cp, d.out).out == m.bytes) ++same;
        }
        EXPECT_GE(same * 100, maps.size() * 95) << "page " << cp << ": few sequences are canonical";
    }
}

// tests/data/charsets/samples.tsv: text encoded by the other source (see
// scripts/gen-charset-samples.py).
TEST(CodePageTables, SamplesMatchTheOtherIndependentSource) {
    std::ifstream f(SMTP_TEST_DATA_DIR "/charsets/samples.tsv");
    ASSERT_TRUE(f.good());
    std::string line;
    int rows = 0;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string cp, src, text, bytes;
        std::getline(ls, cp, '\t');
        std::getline(ls, src, '\t');
        std::getline(ls, text, '\t');
        std::getline(ls, bytes, '\t');
        unsigned page = static_cast<unsigned>(std::stoul(cp));
        Result enc = conv(65001, page, unhex(text));
        EXPECT_TRUE(enc.ok) << page << " " << src;
        EXPECT_EQ(enc.out, unhex(bytes)) << page << " " << src;
        Result dec = conv(page, 65001, unhex(bytes));
        EXPECT_TRUE(dec.ok) << page << " " << src;
        EXPECT_EQ(dec.out, unhex(text)) << page << " " << src;
        ++rows;
    }
    EXPECT_GE(rows, 60);
}

TEST(CodePageTables, MultiByteLookupOrderAndDroppedLeadByte) {
    // 932: 0x82 0xA0 is one character (U+3042); 0x82 followed by a byte that
    // makes no pair drops both.
    EXPECT_EQ(conv(932, 1200, "\x82\xA0").out, std::string("\x42\x30", 2));
    Result r = conv(932, 1200, "\x82\x20z");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, std::string("z\0", 2));
    // The last byte of the input is tried alone: a trailing lead byte goes.
    r = conv(932, 1200, "a\x82");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, std::string("a\0", 2));
    // Half-width katakana are single bytes.
    EXPECT_EQ(conv(932, 65001, "\xB1").out, "\xEF\xBD\xB1");
    // 1361 (johab) is not among the pages that drop the next byte.
    r = conv(1361, 1200, "\x84\x20z");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, std::string(" \0z\0", 4));
    // 51932: three-byte JIS X 0212 sequences (0x8F ...) and two-byte kana.
    EXPECT_EQ(conv(51932, 65001, "\x8F\xB0\xA1").out, "\xE4\xB8\x82");  // U+4E02
    EXPECT_EQ(conv(51932, 65001, "\x8E\xB1").out, "\xEF\xBD\xB1");
    EXPECT_EQ(conv(65001, 51932, "\xE4\xB8\x82").out, "\x8F\xB0\xA1");
    // 936: Microsoft's euro sign at 0x80.
    EXPECT_EQ(conv(936, 65001, "\x80").out, "\xE2\x82\xAC");
}

// euc-kr is the KS X 1001 square (A1-FE by A1-FE) of Windows' 949, which
// comes from another source (Python's cp949 instead of its euc_kr): every
// pair reads and writes alike in both, A4 D4 (HANGUL FILLER) included.
TEST(CodePageTables, EucKrIsTheKsX1001SquareOf949) {
    EXPECT_EQ(conv(51949, 65001, "\xA4\xD4").out, "\xE3\x85\xA4");
    EXPECT_EQ(conv(65001, 51949, "\xE3\x85\xA4").out, "\xA4\xD4");
    std::vector<std::string> differ;
    int pairs = 0;
    for (int lead = 0xA1; lead <= 0xFE; ++lead) {
        for (int trail = 0xA1; trail <= 0xFE; ++trail) {
            const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
            const Result uhc = conv(949, 1200, pair);
            if (!uhc.ok) continue;
            ++pairs;
            const Result euc = conv(51949, 1200, pair);
            if (!euc.ok || euc.out != uhc.out || conv(1200, 51949, uhc.out).out != pair) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "%02X %02X", lead, trail);
                differ.push_back(hex);
            }
        }
    }
    EXPECT_GT(pairs, 8000);
    EXPECT_TRUE(differ.empty()) << differ.size() << " pairs, first " << differ.front();
}

TEST(CodePageTables, MacArabicInputPreparation) {
    // Two Arabic letters (alef 0xC7, beh 0xC8) are a right-to-left run and
    // are reversed; a single one is not.
    EXPECT_EQ(conv(10004, 65001, "\xC7\xC8").out, "\xD8\xA8\xD8\xA7");
    EXPECT_EQ(conv(10004, 65001, "a\xC7 b").out, "a\xD8\xA7 b");
    // Apple's right-to-left digits and punctuation become ASCII ...
    EXPECT_EQ(conv(10004, 65001, "\xB1").out, "1");
    EXPECT_EQ(conv(10004, 65001, "\xA1").out, "!");
    EXPECT_EQ(conv(10004, 65001, "\xDB").out, "[");
    // ... but 0xA5 (Arabic percent) and 0xAC (Arabic comma) stay.
    EXPECT_EQ(conv(10004, 65001, "\xA5").out, "\xD9\xAA");
    EXPECT_EQ(conv(10004, 65001, "\xAC").out, "\xD8\x8C");
    // 0x81 becomes 0xA0, which is Apple's right-to-left space.
    EXPECT_EQ(conv(10004, 65001, "\x81").out, " ");
    // Output is not prepared: U+0661 is 0xB1.
    EXPECT_EQ(conv(65001, 10004, "\xD9\xA1").out, "\xB1");
}

TEST(CodePageTables, ReleaseCachesFreesAndRebuilds) {
    EXPECT_EQ(conv(65001, 932, "\xE3\x81\x82").out, "\x82\xA0");
    EXPECT_EQ(conv(65001, 1047, "A").out, "\xC1");
    releaseCaches();
    EXPECT_EQ(conv(65001, 932, "\xE3\x81\x82").out, "\x82\xA0");
    EXPECT_EQ(conv(1047, 65001, "\xC1").out, "A");
    releaseCaches();
}
