#include "text/encoding_convert.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/code_pages.h"
#include "text/caches.h"
#include "text/code_page_tables.h"
#include "text/test_data.h"

namespace {

using testdata::hex;
using testdata::unhex;

struct Result {
    bool ok;
    std::string out;
};

Result conv(unsigned from, unsigned to, const std::string& in) {
    EncodingConvert ec;
    DataBuffer out;
    bool ok = ec.convert(from, to, in.data(), static_cast<uint32_t>(in.size()), out);
    return {ok, std::string(reinterpret_cast<const char*>(out.data()), out.size())};
}

// Converts and checks the flag and the bytes; what names the case.
void expectConv(unsigned from, unsigned to, const std::string& in, bool ok, const std::string& want,
                const std::string& what) {
    const Result got = conv(from, to, in);
    EXPECT_EQ(got.ok, ok) << what << ", " << from << " -> " << to;
    EXPECT_EQ(hex(got.out), hex(want))
        << what << ", " << from << " -> " << to << ", input " << hex(in);
}

// Every (byte sequence, UTF-16 unit) of a page's table.
struct Mapping {
    std::string bytes;
    uint16_t unit;
};

std::vector<Mapping> mappingsOf(unsigned cp) {
    std::vector<Mapping> m;
    auto add = [&m](std::string b, uint16_t u) {
        if (u) m.push_back({b, u});
    };
    if (const cptables::SingleByteTable* t = cptables::findSingleByte(cp)) {
        for (int b = 1; b < 256; ++b) add(std::string(1, char(b)), t->toUnicode[b]);
    } else if (const cptables::MultiByteTable* t = cptables::findMultiByte(cp)) {
        for (int b = 1; b < 256; ++b) {
            add(std::string(1, char(b)),
                !t->single[b] && b < 0x80 && t->asciiLow ? b : t->single[b]);
            for (int c = 0; t->twoByte[b] && c < 256; ++c)
                add(std::string{char(b), char(c)}, t->twoByte[b][c]);
        }
        for (uint32_t i = 0; i < t->threeCount; ++i) {
            const uint32_t k = t->threeKeys[i];
            add(std::string{char(k >> 16), char(k >> 8), char(k)}, t->threeUnits[i]);
        }
    }
    return m;
}

std::string utf16le(const std::vector<uint16_t>& units) {
    std::string s;
    for (uint16_t u : units) s += std::string{char(u & 0xFF), char(u >> 8)};
    return s;
}

}  // namespace

// tests/data/text/conversions.tsv, run once with the tables and reverse maps
// as earlier tests left them and once after releaseCaches freed them.
TEST(EncodingConvert, ConversionVectorsAndReleaseCaches) {
    const std::vector<testdata::Row> rows = testdata::rows("text/conversions.tsv");
    EXPECT_GE(rows.size(), 140u);
    for (int pass = 0; pass < 2; ++pass, releaseCaches()) {
        for (const testdata::Row& r : rows) {
            ASSERT_GE(r.f.size(), 6u) << r.where();
            expectConv(std::stoul(r.f[0]), std::stoul(r.f[1]), testdata::unescape(r.f[3]),
                       r.f[2] == "1", testdata::unescape(r.f[4]), r.where() + " (" + r.f[5] + ")");
        }
    }
}

// Output is appended; the trace has one letter per stage of the last
// conversion; convertToAnsi goes to the process's ANSI page.
TEST(EncodingConvert, OutputTraceAndAnsi) {
    EncodingConvert ec;
    EXPECT_EQ(ec.unconvertibleMode(), 0) << "drop what does not convert and go on";
    DataBuffer out;
    out.append(">", 1);
    EXPECT_TRUE(ec.convert(1252, 65001, "\xE9", 1, out));
    EXPECT_EQ(ec.stepTrace().length(), 2u) << "decode, encode";
    EXPECT_TRUE(ec.convert(1252, 65001, "\x80", 1, out));
    EXPECT_TRUE(ec.convert(1252, 65001, nullptr, 5, out));
    EXPECT_TRUE(ec.convert(65001, 65001, "a", 1, out));
    EXPECT_EQ(ec.stepTrace().length(), 1u) << "cleared at the start, one pass-through stage";
    EXPECT_TRUE(ec.convert(1200, 65001, "\xFE\xFF\x00\x41", 4, out));
    EXPECT_EQ(ec.stepTrace().length(), 3u) << "mark, swap, encode";
    EXPECT_EQ(hex(out.data(), out.size()),
              "3e"
              "c3a9"
              "e282ac"
              "61"
              "41");
    EXPECT_TRUE(EncodingConvert::isSupported(1201));
    for (unsigned ansi : {1252u, 28591u}) {
        platform::setCodePagesForTesting(ansi, 437);
        out.clear();
        EXPECT_EQ(ec.convertToAnsi(65001, "\xE2\x82\xAC", 3, out), ansi == 1252) << ansi;
        EXPECT_EQ(hex(out.data(), out.size()), ansi == 1252 ? "80" : "") << ansi;
    }
    platform::setCodePagesForTesting(0, 0);
}

TEST(EncodingConvert, LargeTextRoundTrip) {
    // Long enough to cross every internal block boundary many times.
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "\xE2\x82\xAC caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D";
    Result w = conv(65001, 1252, text);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.out.size(), 20000u * 10);
    Result u16 = conv(1252, 1201, w.out);
    ASSERT_TRUE(u16.ok);
    Result back = conv(1201, 65001, u16.out);
    ASSERT_TRUE(back.ok);
    EXPECT_TRUE(back.out == text);
}

// ------------------------------------------------------------ code-page tables

// tests/data/text/code-pages.tsv: the pages with tables and those without.
TEST(CodePageTables, KnownPagesAndTheirSources) {
    std::map<std::string, int> kinds;
    std::set<unsigned> withTable;
    for (const testdata::Row& r : testdata::rows("text/code-pages.tsv")) {
        ASSERT_EQ(r.f.size(), 3u) << r.where();
        const unsigned cp = std::stoul(r.f[0]);
        ++kinds[r.f[1]];
        if (r.f[2] == "table") withTable.insert(cp);
        EXPECT_EQ(cptables::findSingleByte(cp) != nullptr,
                  r.f[2] == "table" && r.f[1] == "single-byte")
            << cp;
        EXPECT_EQ(cptables::findMultiByte(cp) != nullptr,
                  r.f[2] == "table" && r.f[1] == "multi-byte")
            << cp;
        EXPECT_EQ(EncodingConvert::isSupported(cp), r.f[2] == "table") << cp;
        if (r.f[2] == "table") continue;
        expectConv(65001, cp, "abc", false, "", "no table");
        expectConv(cp, 1200, "abc", false, "", "no table");
    }
    EXPECT_EQ(kinds["single-byte"], 94);
    EXPECT_EQ(kinds["multi-byte"], 9);
    const unsigned* pages;
    const uint32_t n = cptables::tablePages(&pages);
    EXPECT_EQ(n, withTable.size());
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_TRUE(withTable.count(pages[i])) << pages[i];
        EXPECT_NE(cptables::sourceOf(pages[i]), nullptr) << pages[i];
    }
}

// Every mappable character of every table page survives page -> UTF-16 ->
// page -> UTF-16; each byte sequence decodes to its unit, and nearly all are
// the page's own choice for it. The count of mappings is the one the
// generator recorded next to its cross-check (tests/data/charsets/cross-check.tsv).
TEST(CodePageTables, EveryMappableCharacterRoundTrips) {
    std::map<unsigned, size_t> recorded;
    for (const testdata::Row& r : testdata::rows("charsets/cross-check.tsv"))
        recorded[std::stoul(r.f.at(0))] = std::stoul(r.f.at(3));
    EXPECT_GE(recorded.size(), 60u);
    const unsigned* pages;
    uint32_t n = cptables::tablePages(&pages);
    for (uint32_t p = 0; p < n; ++p) {
        const unsigned cp = pages[p];
        // x-mac-arabic input is rewritten before the table step.
        if (cp == 10004) continue;
        const std::vector<Mapping> maps = mappingsOf(cp);
        ASSERT_FALSE(maps.empty()) << cp;
        if (recorded.count(cp)) {
            EXPECT_EQ(maps.size(), recorded[cp]) << "page " << cp;
        }
        std::vector<uint16_t> units;
        for (const Mapping& m : maps) units.push_back(m.unit);
        Result enc = conv(1200, cp, utf16le(units));
        EXPECT_TRUE(enc.ok) << "page " << cp;
        Result dec = conv(cp, 1200, enc.out);
        EXPECT_TRUE(dec.ok) << "page " << cp;
        EXPECT_EQ(dec.out, utf16le(units)) << "page " << cp;
        size_t same = 0;
        for (const Mapping& m : maps) {
            Result d = conv(cp, 1200, m.bytes);
            EXPECT_EQ(d.out, utf16le({m.unit})) << "page " << cp << ", bytes " << hex(m.bytes);
            if (conv(1200, cp, d.out).out == m.bytes) ++same;
        }
        EXPECT_GE(same * 100, maps.size() * 95) << "page " << cp << ": few sequences are canonical";
    }
}

// tests/data/charsets/samples.tsv: text encoded by the other independent
// source, glibc iconv or Python's codecs (scripts/gen-charset-samples.py).
TEST(CodePageTables, SamplesMatchTheOtherIndependentSource) {
    int rows = 0;
    for (const testdata::Row& r : testdata::rows("charsets/samples.tsv")) {
        ASSERT_GE(r.f.size(), 4u) << r.where();
        const unsigned page = std::stoul(r.f[0]);
        expectConv(65001, page, unhex(r.f[2]), true, unhex(r.f[3]), r.where() + " " + r.f[1]);
        expectConv(page, 65001, unhex(r.f[3]), true, unhex(r.f[2]), r.where() + " " + r.f[1]);
        ++rows;
    }
    EXPECT_GE(rows, 60);
}

// euc-kr is the KS X 1001 square (A1-FE by A1-FE) of Windows' 949, which
// comes from another source (Python's cp949 instead of its euc_kr): every
// pair reads and writes alike in both.
TEST(CodePageTables, EucKrIsTheKsX1001SquareOf949) {
    std::vector<std::string> differ;
    int pairs = 0;
    for (int lead = 0xA1; lead <= 0xFE; ++lead) {
        for (int trail = 0xA1; trail <= 0xFE; ++trail) {
            const std::string pair{char(lead), char(trail)};
            const Result uhc = conv(949, 1200, pair);
            if (!uhc.ok) continue;
            ++pairs;
            const Result euc = conv(51949, 1200, pair);
            if (!euc.ok || euc.out != uhc.out || conv(1200, 51949, uhc.out).out != pair)
                differ.push_back(hex(pair));
        }
    }
    EXPECT_GT(pairs, 8000);
    EXPECT_TRUE(differ.empty()) << differ.size() << " pairs, first " << differ.front();
}
