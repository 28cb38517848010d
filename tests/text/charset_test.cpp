#include "text/charset.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/code_pages.h"
#include "text/caches.h"
#include "text/case_mapping.h"
#include "text/charset_choice.h"
#include "text/test_data.h"

namespace {

std::string nameOf(unsigned cp) {
    StringBuffer sb;
    return codePageToName(cp, sb) ? sb.getString() : "-";
}

class CodePagesPinned : public ::testing::Test {
  protected:
    void SetUp() override { platform::setCodePagesForTesting(1252, 437); }
    void TearDown() override { platform::setCodePagesForTesting(0, 0); }
};

}  // namespace

// tests/data/charsets/charset-names.tsv is a copy of the project's
// charset-names.tsv (name, code page from Microsoft's tables, basis). The
// 14 rows marked "unknown" there resolve as decided when the table was
// built: those are lookups in tests/data/text/charset-names.tsv.
TEST_F(CodePagesPinned, EveryAcceptedNameResolvesAsTheTableSays) {
    std::set<std::string> decided;
    for (const testdata::Row& r : testdata::rows("text/charset-names.tsv"))
        if (r.f.size() > 3 && r.f[3].rfind("decided", 0) == 0) decided.insert(r.f[1]);
    std::vector<testdata::Row> rows = testdata::rows("charsets/charset-names.tsv");
    ASSERT_EQ(rows.size(), 412u) << "the header and 411 names";
    std::set<std::string> seen;
    for (auto r = rows.begin() + 1; r != rows.end(); ++r) {
        ASSERT_EQ(r->f.size(), 3u) << r->where();
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
    int n = 0;
    Charset c;
    for (const testdata::Row& r : testdata::rows("text/charset-names.tsv")) {
        ASSERT_GE(r.f.size(), 3u) << r.where();
        const std::string where = r.where() + ": '" + r.f[1] + "'";
        ++n;
        if (r.f[0] == "lookup") {
            EXPECT_EQ(nameToCodePage(testdata::unescape(r.f[1]).c_str()), std::stoul(r.f[2]))
                << where;
        } else if (r.f[0] == "canonical") {
            EXPECT_EQ(nameOf(std::stoul(r.f[1])), r.f[2]) << where;
        } else {
            c.setByName(r.f[1] == "null" ? nullptr : r.f[1].c_str());
            EXPECT_EQ(c.getCodePage(), std::stoul(r.f[2])) << where;
            EXPECT_EQ(c.getName(), testdata::unescape(r.f[3])) << where;
        }
    }
    EXPECT_GE(n, 70);
    EXPECT_EQ(nameToCodePage(nullptr), 0u);
    StringBuffer sb("x=");
    EXPECT_TRUE(codePageToName(65001, sb));
    EXPECT_FALSE(codePageToName(4242, sb));
    EXPECT_STREQ(sb.getString(), "x=utf-8") << "appended, and only when known";
    c.setByCodePage(1251);
    Charset d(c), e;
    e = c;
    c.setByCodePage(4242);
    d.clear();
    for (auto [x, cp, name] :
         {std::tuple(&c, 0u, ""), std::tuple(&d, 0u, ""), std::tuple(&e, 1251u, "windows-1251")}) {
        EXPECT_EQ(x->getCodePage(), cp);
        EXPECT_STREQ(x->getName(), name);
    }
    platform::setCodePagesForTesting(65001, 437);
    EXPECT_EQ(nameToCodePage("Ansi"), 65001u);
    EXPECT_EQ(nameToCodePage("x-ansi"), 1252u) << "looked up like any other name";
}

TEST(CharsetNames, EveryCanonicalNameIsAnAcceptedNameOfItsPage) {
    // Pages sharing a name (50220/50222, 51932/20932) resolve to the first.
    for (unsigned cp = 1; cp < 70000; ++cp) {
        StringBuffer sb;
        if (!codePageToName(cp, sb)) continue;
        const unsigned back = nameToCodePage(sb.getString());
        if (cp == 50222 || cp == 20932) {
            EXPECT_EQ(back, cp == 50222 ? 50220u : 51932u);
        } else if (cp == 20127 || cp == 65001) {
            EXPECT_EQ(back, cp);
        } else {
            // A handful of canonical names are not among the 411 accepted
            // names (for example "x-chinese-cns"); those give 0.
            EXPECT_TRUE(back == cp || back == 0) << sb.getString() << " -> " << back;
        }
    }
}

// tests/data/text/charset-choice.tsv: the decision table, row by row.
TEST(CharsetChoice, DecisionTable) {
    EXPECT_EQ(chooseCharsetForText(nullptr, 0), 0u);
    int n = 0;
    for (const testdata::Row& r : testdata::rows("text/charset-choice.tsv")) {
        ASSERT_GE(r.f.size(), 2u) << r.where();
        std::vector<uint16_t> units;
        for (uint32_t u : testdata::numbers(r.f[0])) units.push_back(static_cast<uint16_t>(u));
        EXPECT_EQ(chooseCharsetForText(units.data(), static_cast<uint32_t>(units.size())),
                  std::stoul(r.f[1]))
            << r.where() << ": " << r.f[0];
        ++n;
    }
    EXPECT_GE(n, 44);
}

// tests/data/text/case-mapping.tsv; the tables are built again after
// releaseCaches.
TEST(CaseMapping, MappingsSurviveReleaseCaches) {
    EXPECT_GT(casemap::upperToLowerPairs(), 800u);
    EXPECT_GT(casemap::lowerToUpperPairs(), 800u);
    const std::vector<testdata::Row> rows = testdata::rows("text/case-mapping.tsv");
    EXPECT_GE(rows.size(), 24u);
    for (int pass = 0; pass < 2; ++pass) {
        for (const testdata::Row& r : rows) {
            ASSERT_GE(r.f.size(), 3u) << r.where();
            const uint32_t in = std::stoul(r.f[1], nullptr, 16);
            EXPECT_EQ(r.f[0] == "lower" ? toLowerW(in) : toUpperW(in),
                      std::stoul(r.f[2], nullptr, 16))
                << r.where() << ": " << r.f[0] << " " << r.f[1];
        }
        releaseCaches();
    }
}
