#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "platform/code_pages.h"
#include "text/charset.h"

// tests/data/charsets/charset-names.tsv is a copy of the project's
// charset-names.tsv (name, code page from Microsoft's tables, basis). The
// 14 rows marked "unknown" there are resolved as decided when the table was built.
namespace {

const std::map<std::string, unsigned> kDecided = {
    {"iso-2022-jp-1", 50220}, {"iso-2022-jp-2", 50220}, {"x-cp21027", 21027},
    {"x-ebcdic-japaneseanduscanada", 50931}, {"x-user-defined", 50000},
    {"cp930", 50930}, {"cp933", 50933}, {"cp935", 50935}, {"cp937", 50937},
    {"cp939", 50939}, {"ebcdic", 37}, {"euc-tw", 51950}, {"asmo-449", 709},
    {"asmo-449+", 709},
};

struct Row {
    std::string name;
    unsigned cp;
    std::string basis;
};

std::vector<Row> loadRows() {
    std::ifstream f(SMTP_TEST_DATA_DIR "/charsets/charset-names.tsv");
    std::vector<Row> rows;
    std::string line;
    std::getline(f, line);  // header
    while (std::getline(f, line)) {
        if (line.empty()) continue;
        std::istringstream ls(line);
        Row r;
        std::string cp;
        std::getline(ls, r.name, '\t');
        std::getline(ls, cp, '\t');
        std::getline(ls, r.basis);
        r.cp = static_cast<unsigned>(std::stoul(cp));
        rows.push_back(r);
    }
    return rows;
}

std::string nameOf(unsigned cp) {
    StringBuffer sb;
    if (!codePageToName(cp, sb)) return "<none>";
    return sb.getString();
}

class CodePagesPinned : public ::testing::Test {
  protected:
    void SetUp() override { platform::setCodePagesForTesting(1252, 437); }
    void TearDown() override { platform::setCodePagesForTesting(0, 0); }
};

}  // namespace

TEST_F(CodePagesPinned, EveryAcceptedNameResolvesAsTheTableSays) {
    std::vector<Row> rows = loadRows();
    ASSERT_EQ(rows.size(), 411u);
    std::set<std::string> seen;
    int unknown = 0;
    for (const Row& r : rows) {
        EXPECT_TRUE(seen.insert(r.name).second) << r.name;
        unsigned expected = r.cp;
        if (r.basis.rfind("unknown", 0) == 0) {
            ++unknown;
            ASSERT_TRUE(kDecided.count(r.name)) << r.name;
            expected = kDecided.at(r.name);
        }
        if (r.name == "ansi") expected = 1252;
        EXPECT_EQ(nameToCodePage(r.name.c_str()), expected) << r.name;
    }
    EXPECT_EQ(unknown, 14);
}

TEST_F(CodePagesPinned, NamesThatResolveToUnexpectedPages) {
    EXPECT_EQ(nameToCodePage("csiso2022jp"), 50221u);
    EXPECT_EQ(nameToCodePage("iso-2022-jpeuc"), 51932u);
    EXPECT_EQ(nameToCodePage("logical"), 28598u);
    EXPECT_EQ(nameToCodePage("x-ansi"), 1252u);
    EXPECT_EQ(nameToCodePage("koi8-ru"), 21866u);
}

TEST_F(CodePagesPinned, Normalisation) {
    EXPECT_EQ(nameToCodePage("ISO_8859_1 "), 28591u);
    EXPECT_EQ(nameToCodePage("  \tIso-8859-1\r\n"), 28591u);
    EXPECT_EQ(nameToCodePage("SHIFT_JIS"), 932u);
    EXPECT_EQ(nameToCodePage("KS_C_5601-1987"), 949u);
    EXPECT_EQ(nameToCodePage("iso-8859-8 visual"), 28598u);
    EXPECT_EQ(nameToCodePage("ISO_8859-8 Visual"), 28598u);
    EXPECT_EQ(nameToCodePage("x-user-defined"), 50000u);
}

TEST_F(CodePagesPinned, AnsiAndShortAndUnknownNames) {
    EXPECT_EQ(nameToCodePage("ansi"), 1252u);
    EXPECT_EQ(nameToCodePage(" ANSI "), 1252u);
    platform::setCodePagesForTesting(65001, 437);
    EXPECT_EQ(nameToCodePage("Ansi"), 65001u);
    EXPECT_EQ(nameToCodePage("x-ansi"), 1252u) << "looked up like any other name";
    EXPECT_EQ(nameToCodePage("l1"), 0u);
    EXPECT_EQ(nameToCodePage("  l1  "), 0u);
    EXPECT_EQ(nameToCodePage(""), 0u);
    EXPECT_EQ(nameToCodePage(nullptr), 0u);
    EXPECT_EQ(nameToCodePage("oem"), 0u) << "only setByName knows oem";
    EXPECT_EQ(nameToCodePage("utf-9"), 0u);
    EXPECT_EQ(nameToCodePage("iso-8859-1x"), 0u);
}

TEST(CharsetNames, CanonicalNames) {
    EXPECT_EQ(nameOf(20127), "us-ascii");
    EXPECT_EQ(nameOf(1200), "unicode");
    EXPECT_EQ(nameOf(1201), "unicodefffe");
    EXPECT_EQ(nameOf(65005), "utf-32");
    EXPECT_EQ(nameOf(65006), "utf-32be");
    EXPECT_EQ(nameOf(28594), "iso-8859-4");
    EXPECT_EQ(nameOf(28599), "iso-8859-9");
    EXPECT_EQ(nameOf(50220), "iso-2022-jp");
    EXPECT_EQ(nameOf(50222), "iso-2022-jp");
    EXPECT_EQ(nameOf(50221), "csiso2022jp");
    EXPECT_EQ(nameOf(20932), "euc-jp");
    EXPECT_EQ(nameOf(51932), "euc-jp");
    EXPECT_EQ(nameOf(932), "shift_jis");
    EXPECT_EQ(nameOf(949), "ks_c_5601-1987");
    EXPECT_EQ(nameOf(1256), "windows-1256");
    EXPECT_EQ(nameOf(1145), "ibm01145");
    EXPECT_EQ(nameOf(57011), "x-iscii-pa");
    EXPECT_EQ(nameOf(57004), "x-iscii-ta");
    EXPECT_EQ(nameOf(29001), "x-europa");
    EXPECT_EQ(nameOf(0), "<none>");
    EXPECT_EQ(nameOf(28600), "<none>");
    EXPECT_EQ(nameOf(50000), "<none>");
    EXPECT_EQ(nameOf(12000), "<none>");
}

TEST(CharsetNames, CodePageToNameAppends) {
    StringBuffer sb;
    sb.append("x=");
    EXPECT_TRUE(codePageToName(65001, sb));
    EXPECT_STREQ(sb.getString(), "x=utf-8");
    EXPECT_FALSE(codePageToName(4242, sb));
    EXPECT_STREQ(sb.getString(), "x=utf-8");
}

TEST(CharsetNames, EveryCanonicalNameIsAnAcceptedNameOfItsPage) {
    // Pages sharing a name (50220/50222, 51932/20932) resolve to the first.
    for (unsigned cp = 1; cp < 70000; ++cp) {
        StringBuffer sb;
        if (!codePageToName(cp, sb)) continue;
        unsigned back = nameToCodePage(sb.getString());
        if (cp == 50222) {
            EXPECT_EQ(back, 50220u);
        } else if (cp == 20932) {
            EXPECT_EQ(back, 51932u);
        } else if (cp == 20127 || cp == 65001) {
            EXPECT_EQ(back, cp);
        } else {
            // A handful of canonical names are not among the 411 accepted
            // names (for example "x-chinese-cns"); those give 0.
            EXPECT_TRUE(back == cp || back == 0) << sb.getString() << " -> " << back;
        }
    }
}

TEST_F(CodePagesPinned, SetByName) {
    Charset c;
    c.setByName("latin1");
    EXPECT_EQ(c.getCodePage(), 28591u);
    EXPECT_STREQ(c.getName(), "iso-8859-1");
    c.setByName(nullptr);  // changes nothing
    EXPECT_EQ(c.getCodePage(), 28591u);
    c.setByName("default");
    EXPECT_EQ(c.getCodePage(), 0u);
    EXPECT_STREQ(c.getName(), "");
    c.setByName("latin1");
    c.setByName("Default");  // goes to the lookup, not found
    EXPECT_EQ(c.getCodePage(), 0u);
    EXPECT_STREQ(c.getName(), "");
    c.setByName("x-user-defined");
    EXPECT_EQ(c.getCodePage(), 0u);
    EXPECT_STREQ(c.getName(), "");
    c.setByName("X-User-Defined");  // not the exact spelling: looked up
    EXPECT_EQ(c.getCodePage(), 50000u);
    EXPECT_STREQ(c.getName(), "");
    c.setByName("ANSI");
    EXPECT_EQ(c.getCodePage(), 1252u);
    EXPECT_STREQ(c.getName(), "windows-1252");
    c.setByName("Oem");
    EXPECT_EQ(c.getCodePage(), 437u);
    EXPECT_STREQ(c.getName(), "ibm437");
    c.setByName("SHIFT_JIS");
    EXPECT_EQ(c.getCodePage(), 932u);
    EXPECT_STREQ(c.getName(), "shift_jis");
    c.setByName("csISO2022JP");
    EXPECT_EQ(c.getCodePage(), 50221u);
    EXPECT_STREQ(c.getName(), "csiso2022jp");
    c.setByName("utf8");
    EXPECT_EQ(c.getCodePage(), 65001u);
    EXPECT_STREQ(c.getName(), "utf-8");
    c.setByName("no-such-charset");
    EXPECT_EQ(c.getCodePage(), 0u);
    EXPECT_STREQ(c.getName(), "");
}

TEST(CharsetNames, SetByCodePageAndCopy) {
    Charset c;
    c.setByCodePage(1251);
    EXPECT_EQ(c.getCodePage(), 1251u);
    EXPECT_STREQ(c.getName(), "windows-1251");
    Charset d(c);
    EXPECT_EQ(d.getCodePage(), 1251u);
    EXPECT_STREQ(d.getName(), "windows-1251");
    Charset e;
    e = c;
    EXPECT_STREQ(e.getName(), "windows-1251");
    c.setByCodePage(4242);
    EXPECT_EQ(c.getCodePage(), 0u);
    EXPECT_STREQ(c.getName(), "");
    EXPECT_STREQ(d.getName(), "windows-1251");
    d.clear();
    EXPECT_EQ(d.getCodePage(), 0u);
    EXPECT_STREQ(d.getName(), "");
}
