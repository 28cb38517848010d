#include "text/encoding_convert.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/code_pages.h"
#include "support/engine_log.h"
#include "support/hex.h"
#include "text/caches.h"
#include "text/case_mapping.h"
#include "text/charset.h"
#include "text/charset_choice.h"
#include "text/code_page_tables.h"
#include "text/test_data.h"
#include "text/xstring.h"

namespace {

using testsupport::fromHex;
using testsupport::str;
using testsupport::toHex;

struct Result {
    bool ok;
    std::string out;
};

Result conv(unsigned from, unsigned to, const std::string& in) {
    EncodingConvert ec;
    DataBuffer out;
    bool ok = ec.convert(from, to, in.data(), static_cast<uint32_t>(in.size()), out);
    return {ok, str(out)};
}

// Converts and checks the flag and the bytes; what names the case.
void expectConv(unsigned from, unsigned to, const std::string& in, bool ok, const std::string& want,
                const std::string& what) {
    const Result got = conv(from, to, in);
    EXPECT_EQ(got.ok, ok) << what << ", " << from << " -> " << to;
    EXPECT_EQ(toHex(got.out), toHex(want))
        << what << ", " << from << " -> " << to << ", input " << toHex(in);
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

// UTF-16 units from blank-separated hex numbers, followed by a 0 unit.
std::vector<uint16_t> unitsOf(const std::string& field) {
    std::vector<uint16_t> u;
    std::istringstream in(field);
    for (std::string x; in >> x;) u.push_back(static_cast<uint16_t>(std::stoul(x, nullptr, 16)));
    u.push_back(0);
    return u;
}

std::vector<uint16_t> unitsOf(XString& x) {
    std::vector<uint16_t> u;
    for (const uint16_t* p = x.getUtf16();; ++p)
        if (u.push_back(*p), !*p) return u;
}

// Results must not depend on the machine's locale.
class CodePagesPinned : public ::testing::Test {
  protected:
    void SetUp() override { platform::setCodePagesForTesting(1252, 437); }
    void TearDown() override { platform::setCodePagesForTesting(0, 0); }
};

}  // namespace

// tests/data/text/conversions.tsv, run once with the tables and reverse maps
// as earlier tests left them and once after releaseCaches freed them.
TEST(EncodingConvert, ConversionVectorsAndReleaseCaches) {
    const std::vector<testdata::Row> rows = testdata::rows("text/conversions.tsv", 5);
    for (int pass = 0; pass < 2; ++pass, releaseCaches()) {
        for (const testdata::Row& r : rows)
            expectConv(std::stoul(r.f[0]), std::stoul(r.f[1]), r.f[3], r.f[2] == "1", r.f[4],
                       r.where);
    }
}

// Output is appended; the trace has one letter per stage of the last
// conversion; convertToAnsi goes to the process's ANSI page.
TEST_F(CodePagesPinned, OutputTraceAndAnsi) {
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
    EXPECT_EQ(toHex(out.data(), out.size()), "3ec3a9e282ac6141") << "'>', e acute, euro, a, A";
    EXPECT_TRUE(EncodingConvert::isSupported(1201));
    for (unsigned ansi : {1252u, 28591u}) {
        platform::setCodePagesForTesting(ansi, 437);
        out.clear();
        EXPECT_EQ(ec.convertToAnsi(65001, "\xE2\x82\xAC", 3, out), ansi == 1252) << ansi;
        EXPECT_EQ(toHex(out.data(), out.size()), ansi == 1252 ? "80" : "-") << ansi;
    }
}

// ------------------------------------------------------------ code-page tables

// tests/data/text/code-pages.tsv: the pages with tables and those without.
TEST(CodePageTables, KnownPagesAndTheirSources) {
    std::set<unsigned> withTable;
    for (const testdata::Row& r : testdata::rows("text/code-pages.tsv", 3)) {
        const unsigned cp = std::stoul(r.f[0]);
        const bool table = r.f[2] == "table";
        EXPECT_EQ(cptables::findSingleByte(cp) != nullptr, table && r.f[1] == "single-byte") << cp;
        EXPECT_EQ(cptables::findMultiByte(cp) != nullptr, table && r.f[1] == "multi-byte") << cp;
        EXPECT_EQ(EncodingConvert::isSupported(cp), table) << cp;
        if (table) {
            withTable.insert(cp);
        } else {
            expectConv(65001, cp, "abc", false, "", "no table");
            expectConv(cp, 1200, "abc", false, "", "no table");
        }
    }
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
    for (const testdata::Row& r : testdata::rows("charsets/cross-check.tsv", 4))
        recorded[std::stoul(r.f[0])] = std::stoul(r.f[3]);
    EXPECT_GE(recorded.size(), 60u);
    const unsigned* pages;
    uint32_t n = cptables::tablePages(&pages);
    for (uint32_t p = 0; p < n; ++p) {
        const unsigned cp = pages[p];
        // x-mac-arabic input is rewritten before the table step; the pages
        // from Windows' data files have bytes that decode one way only, and
        // their own test checks every line of those files.
        if (cp == 10004 || std::string(cptables::sourceOf(cp)).rfind("Windows' data", 0) == 0)
            continue;
        const std::vector<Mapping> maps = mappingsOf(cp);
        ASSERT_FALSE(maps.empty()) << cp;
        EXPECT_EQ(maps.size(), recorded.count(cp) ? recorded[cp] : maps.size()) << "page " << cp;
        std::string all;
        for (const Mapping& m : maps) all += {char(m.unit & 0xFF), char(m.unit >> 8)};
        Result enc = conv(1200, cp, all);
        EXPECT_TRUE(enc.ok) << "page " << cp;
        Result dec = conv(cp, 1200, enc.out);
        EXPECT_TRUE(dec.ok) << "page " << cp;
        EXPECT_EQ(dec.out, all) << "page " << cp;
        size_t same = 0;
        for (const Mapping& m : maps) {
            Result d = conv(cp, 1200, m.bytes);
            EXPECT_EQ(d.out, all.substr(2 * (&m - maps.data()), 2))
                << "page " << cp << ", bytes " << toHex(m.bytes);
            if (conv(1200, cp, d.out).out == m.bytes) ++same;
        }
        EXPECT_GE(same * 100, maps.size() * 95) << "page " << cp << ": few sequences are canonical";
    }
}

namespace {

// One data file of Windows' converter (tests/data/charsets/codepages): the
// round-trip and decode-only pairs, or the best-fit pairs of a .bestfit file.
struct PageFile {
    std::vector<Mapping> roundTrip, decodeOnly, bestFit;
};

PageFile readPageFile(unsigned cp) {
    PageFile f;
    for (const char* suffix : {".txt", ".bestfit.txt"}) {
        const std::string path = std::string(SMTP_TEST_DATA_DIR) + "/charsets/codepages/cp" +
                                 std::to_string(cp) + suffix;
        std::ifstream in(path);
        EXPECT_TRUE(in) << path;
        std::vector<Mapping>* block = suffix[1] == 'b' ? &f.bestFit : nullptr;
        for (std::string line; std::getline(in, line);) {
            if (line.find("--- round-trip pairs") != std::string::npos) block = &f.roundTrip;
            if (line.find("--- decode-only pairs") != std::string::npos) block = &f.decodeOnly;
            if (line.empty() || line[0] == '#') continue;
            const size_t tab = line.find('\t');
            EXPECT_TRUE(block && tab != std::string::npos && line.rfind("0x", 0) == 0) << line;
            if (!block || tab == std::string::npos) continue;
            block->push_back(
                {fromHex(line.substr(2, tab - 2)),
                 static_cast<uint16_t>(std::stoul(line.substr(tab + 1), nullptr, 16))});
        }
    }
    return f;
}

std::string utf16(uint16_t u) {
    return {char(u & 0xFF), char(u >> 8)};
}

}  // namespace

// tests/data/text/codepage-data-files.tsv names the six pages whose tables
// come from Windows' data files. Every round-trip pair decodes and encodes
// back, every decode-only pair decodes as listed, every single byte the file
// does not list decodes to the page's default character (the result says a
// byte had no mapping), and a best-fit pair's character is not written
// (this converter does no best fit on any page: it is dropped).
TEST(CodePageTables, WindowsDataFilesDecodeAndEncodeAsListed) {
    const std::vector<testdata::Row> rows = testdata::rows("text/codepage-data-files.tsv", 4);
    EXPECT_EQ(rows.size(), 6u);
    for (const testdata::Row& r : rows) {
        const unsigned cp = std::stoul(r.f[0]);
        const uint16_t defaultUnit = static_cast<uint16_t>(std::stoul(r.f[2], nullptr, 16));
        EXPECT_TRUE(EncodingConvert::isSupported(cp)) << r.where;
        const PageFile f = readPageFile(cp);
        EXPECT_EQ(f.roundTrip.size() + f.decodeOnly.size(), std::stoul(r.f[3])) << r.where;
        std::set<std::string> listed;
        std::set<uint16_t> roundTripUnits;
        std::string allBytes, allUnits;
        const std::string a = conv(1200, cp, utf16('A')).out, bee = conv(1200, cp, utf16('B')).out;
        ASSERT_EQ(a.size(), 1u) << r.where;
        for (const Mapping& m : f.roundTrip) {
            listed.insert(m.bytes);
            roundTripUnits.insert(m.unit);
            expectConv(cp, 1200, m.bytes, true, utf16(m.unit), "decode " + r.f[1]);
            // After another character: U+FEFF first would be a byte-order mark.
            expectConv(1200, cp, utf16('A') + utf16(m.unit), true, a + m.bytes, "encode " + r.f[1]);
            allBytes += m.bytes;
            allUnits += utf16(m.unit);
        }
        for (const Mapping& m : f.decodeOnly) {
            listed.insert(m.bytes);
            expectConv(cp, 1200, m.bytes, true, utf16(m.unit), "decode-only " + r.f[1]);
            if (!roundTripUnits.count(m.unit))
                expectConv(1200, cp, utf16(m.unit), false, "", "no encoding " + r.f[1]);
        }
        // The whole page at once, both ways (0x00 ends no text here).
        expectConv(cp, 1200, allBytes, true, allUnits, "all round-trip bytes " + r.f[1]);
        expectConv(1200, cp, allUnits, true, allBytes, "all round-trip units " + r.f[1]);
        const cptables::MultiByteTable* multi = cptables::findMultiByte(cp);
        for (int b = 1; b < 256; ++b) {
            const std::string one(1, char(b));
            if (listed.count(one) || (multi && multi->isLead[b])) continue;
            expectConv(cp, 1200, a + one + bee, false, utf16('A') + utf16(defaultUnit) + utf16('B'),
                       "undefined byte of " + r.f[1]);
        }
        for (const Mapping& m : f.bestFit) {
            if (roundTripUnits.count(m.unit)) {
                ADD_FAILURE() << "best-fit U+" << std::hex << m.unit << " round-trips";
                continue;
            }
            expectConv(1200, cp, utf16('A') + utf16(m.unit), false, a,
                       "best-fit character of " + r.f[1]);
        }
    }
}

// x-mac-japanese: sequences its file does not define. A lead byte with a
// trail byte makes one default character; a lead byte before a byte that
// cannot trail, or at the end, is one default character on its own.
TEST(CodePageTables, MacJapaneseUndefinedSequences) {
    const std::string dot = utf16(0x30FB);
    expectConv(10001, 1200, "\xEB\x40", false, dot, "lead byte of an empty row, trail");
    expectConv(10001, 1200, "\x85\xFC", false, dot, "defined lead, undefined trail");
    expectConv(10001, 1200, "\x81\x0Ax", false, dot + utf16('\n') + utf16('x'),
               "lead before a line break");
    expectConv(10001, 1200, "x\x81", false, utf16('x') + dot, "lead at the end");
    expectConv(10001, 1200, "\x82\xA0\x81", false, utf16(0x3042) + dot, "hiragana, then a lead");
    expectConv(10001, 65001, "\xFD\xFE\xFF", true, "\xC2\xA9\xE2\x84\xA2\xE2\x80\xA6",
               "Mac single bytes");
    expectConv(65001, 10001, "\xE2\x80\xA6", true, "\x81\x63", "the ellipsis goes as 8163");
}

// tests/data/charsets/samples.tsv: text encoded by the other independent
// source, glibc iconv or Python's codecs (scripts/gen-charset-samples.py).
TEST(CodePageTables, SamplesMatchTheOtherIndependentSource) {
    for (const testdata::Row& r : testdata::rows("charsets/samples.tsv", 4)) {
        const unsigned page = std::stoul(r.f[0]);
        expectConv(65001, page, fromHex(r.f[2]), true, fromHex(r.f[3]), r.where);
        expectConv(page, 65001, fromHex(r.f[3]), true, fromHex(r.f[2]), r.where);
    }
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
                differ.push_back(toHex(pair));
        }
    }
    EXPECT_GT(pairs, 8000);
    EXPECT_TRUE(differ.empty()) << differ.size() << " pairs, first " << differ.front();
}

// ------------------------------------------------------------ charsets

// tests/data/charsets/charset-names.tsv is a copy of the project's
// charset-names.tsv (name, code page from Microsoft's tables, basis). The
// 14 rows marked "unknown" there resolve as decided when the table was
// built: those are lookups in tests/data/text/charset-names.tsv.
TEST_F(CodePagesPinned, EveryAcceptedNameResolvesAsTheTableSays) {
    std::set<std::string> decided;
    for (const testdata::Row& r : testdata::rows("text/charset-names.tsv", 4))
        if (r.f[3].rfind("decided", 0) == 0) decided.insert(r.f[1]);
    std::vector<testdata::Row> rows = testdata::rows("charsets/charset-names.tsv", 3);
    ASSERT_EQ(rows.size(), 412u) << "the header and 411 names";
    std::set<std::string> seen;
    for (auto r = rows.begin() + 1; r != rows.end(); ++r) {
        const std::string& name = r->f[0];
        EXPECT_TRUE(seen.insert(name).second) << name;
        if (r->f[2].rfind("unknown", 0) == 0)
            EXPECT_TRUE(decided.erase(name)) << name;
        else
            EXPECT_EQ(nameToCodePage(name.c_str()), name == "ansi" ? 1252 : std::stoul(r->f[1]))
                << name;
    }
    EXPECT_TRUE(decided.empty()) << "decided, but not unknown: " << *decided.begin();
}

// tests/data/text/charset-names.tsv: spellings, short and unknown names, the
// canonical name of each page, and setByName.
TEST_F(CodePagesPinned, LookupsCanonicalNamesAndSetByName) {
    Charset c;
    for (const testdata::Row& r : testdata::rows("text/charset-names.tsv", 4)) {
        SCOPED_TRACE(r.where);
        if (r.f[0] == "lookup") {
            EXPECT_EQ(nameToCodePage(r.f[1].c_str()), std::stoul(r.f[2]));
        } else if (r.f[0] == "canonical") {
            StringBuffer sb("x=");  // appended, and only when the page has a name
            EXPECT_EQ(codePageToName(std::stoul(r.f[1]), sb), !r.f[2].empty());
            EXPECT_EQ(str(sb), "x=" + r.f[2]);
        } else {
            if (r.f[0] == "page")
                c.setByCodePage(std::stoul(r.f[1]));
            else
                c.setByName(r.f[1] == "null" ? nullptr : r.f[1].c_str());
            // Copies keep their own state when the original is cleared.
            Charset copy(c), assigned;
            assigned = c;
            c.clear();
            for (const Charset* x : {&copy, &assigned, &c}) {
                EXPECT_EQ(x->getCodePage(), x == &c ? 0 : std::stoul(r.f[2]));
                EXPECT_EQ(x->getName(), x == &c ? "" : r.f[3]);
            }
            c = assigned;
        }
    }
    EXPECT_EQ(nameToCodePage(nullptr), 0u);
    platform::setCodePagesForTesting(65001, 437);
    EXPECT_EQ(nameToCodePage("Ansi"), 65001u);
    EXPECT_EQ(nameToCodePage("x-ansi"), 1252u) << "looked up like any other name";
}

TEST(CharsetNames, EveryCanonicalNameIsAnAcceptedNameOfItsPage) {
    // Pages sharing a name (50220/50222, 51932/20932) resolve to the first.
    // A handful of other canonical names are not among the 411 accepted names
    // (for example "x-chinese-cns"); those give 0, but never another page.
    const std::map<unsigned, unsigned> kExactly = {
        {50222, 50220}, {20932, 51932}, {20127, 20127}, {65001, 65001}};
    for (unsigned cp = 1; cp < 70000; ++cp) {
        StringBuffer sb;
        if (!codePageToName(cp, sb)) continue;
        const unsigned back = nameToCodePage(sb.getString());
        if (kExactly.count(cp))
            EXPECT_EQ(back, kExactly.at(cp)) << cp;
        else
            EXPECT_TRUE(back == cp || back == 0) << sb.getString() << " -> " << back;
    }
}

// tests/data/text/charset-choice.tsv: the decision table, row by row.
TEST(CharsetChoice, DecisionTable) {
    EXPECT_EQ(chooseCharsetForText(nullptr, 0), 0u);
    for (const testdata::Row& r : testdata::rows("text/charset-choice.tsv", 2)) {
        const std::vector<uint16_t> units = unitsOf(r.f[0]);
        EXPECT_EQ(chooseCharsetForText(units.data(), static_cast<uint32_t>(units.size() - 1)),
                  std::stoul(r.f[1]))
            << r.where;
    }
}

// tests/data/text/case-mapping.tsv; the tables are built again after
// releaseCaches.
TEST(CaseMapping, MappingsSurviveReleaseCaches) {
    EXPECT_GT(casemap::upperToLowerPairs(), 800u);
    EXPECT_GT(casemap::lowerToUpperPairs(), 800u);
    const std::vector<testdata::Row> rows = testdata::rows("text/case-mapping.tsv", 3);
    for (int pass = 0; pass < 2; ++pass, releaseCaches()) {
        for (const testdata::Row& r : rows) {
            const uint32_t in = std::stoul(r.f[1], nullptr, 16);
            EXPECT_EQ(r.f[0] == "lower" ? toLowerW(in) : toUpperW(in),
                      std::stoul(r.f[2], nullptr, 16))
                << r.where;
        }
    }
}

// ------------------------------------------------------------ XString

// tests/data/text/xstring.tsv. One XString takes every row in turn, so each
// set replaces all the forms of the row before.
TEST_F(CodePagesPinned, XStringFormVectors) {
    XString x;
    using Arg = const std::string&;
    const std::map<std::string, std::function<void(Arg)>> kSet = {
        {"utf8", [&](Arg in) { x.setFromUtf8(in.c_str()); }},
        {"utf8 3", [&](Arg in) { x.setFromUtf8(in.data(), 3); }},
        {"null", [&](Arg) { x.setFromUtf8(static_cast<const char*>(nullptr)); }},
        {"ansi", [&](Arg in) { x.setFromAnsi(in.c_str()); }},
        {"switch-utf8", [&](Arg in) { x.setFromSwitch(in.c_str(), true); }},
        {"switch-ansi", [&](Arg in) { x.setFromSwitch(in.c_str(), false); }},
        {"clear", [&](Arg) { x.clear(); }},
        {"utf16",
         [&](Arg in) {
             const std::vector<uint16_t> u = unitsOf(in);
             x.setFromUtf16(u.data(), static_cast<uint32_t>(u.size() - 1));
         }},
    };
    for (const testdata::Row& r : testdata::rows("text/xstring.tsv", 9)) {
        SCOPED_TRACE(r.where);
        platform::setCodePagesForTesting(std::stoul(r.f[0]), 437);
        const std::vector<uint16_t> units = unitsOf(r.f[5]);
        ASSERT_TRUE(kSet.count(r.f[1])) << r.f[1];
        kSet.at(r.f[1])(r.f[2]);
        EXPECT_EQ(x.length(), std::stoul(r.f[6])) << "at once";
        EXPECT_EQ(x.isEmpty(), r.f[5].empty());
        EXPECT_EQ(unitsOf(x), units);
        EXPECT_EQ(x.getUtf16Db().size(), 2 * (units.size() - 1));
        EXPECT_EQ(x.getUtf8(), r.f[4]);
        EXPECT_EQ(str(x.getUtf8Sb()), r.f[4]);
        EXPECT_EQ(x.getAnsi(), r.f[3]);
        EXPECT_EQ(str(x.getAnsiSb()), r.f[3]);
        EXPECT_EQ(x.canBeAnsi(), r.f[8] == "1");
        EXPECT_EQ(x.canBeAnsi(), r.f[8] == "1") << "answered again from the state";
        EXPECT_EQ(x.length(), std::stoul(r.f[7])) << "at the end";
        // Made again from the units or the ANSI form, and copies that must
        // not share anything with x, which the next row overwrites.
        XString again[5];
        again[0].setFromUtf16(units.data());
        again[1].setFromUtf16(units.data(), static_cast<uint32_t>(units.size() - 1));
        again[2] = x;
        again[3].copyFrom(x);
        again[4].setFromAnsi(x.canBeAnsi() ? x.getAnsi() : "");
        XString copied(x);
        x.setFromUtf8("changed");
        for (int i = 0; i < (copied.canBeAnsi() ? 5 : 4); ++i)
            EXPECT_EQ(again[i].getUtf8(), r.f[4]) << i;
        EXPECT_EQ(unitsOf(copied), units);
        EXPECT_EQ(copied.getAnsi(), r.f[3]);
    }
}

// Each form read first from a fresh set, before the others are made; invalid
// UTF-8 is kept as given, the other forms leave out what is wrong; room for
// the UTF-8 form is reserved before converting from ANSI.
TEST_F(CodePagesPinned, XStringFirstReadInvalidInputAndRoom) {
    XString x;
    x.setFromUtf8("first");
    EXPECT_STREQ(x.getAnsi(), "first");
    x.setFromAnsi("second");
    EXPECT_TRUE(x.canBeAnsi());
    EXPECT_STREQ(x.getUtf8(), "second");
    x.setFromUtf8("ok\xFF\xC0\x65nd");
    EXPECT_EQ(unitsOf(x), unitsOf("6F 6B 65 6E 64"));
    EXPECT_STREQ(x.getUtf8(), "ok\xFF\xC0\x65nd");
    x.setFromAnsi(std::string(320, '\xE9').c_str());
    EXPECT_EQ(x.getUtf8Sb().length(), 640u);
    EXPECT_GE(x.getUtf8Sb().capacity(), 320u + 320u / 16 + 4);
}
