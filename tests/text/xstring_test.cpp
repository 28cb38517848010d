#include "text/xstring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/code_pages.h"
#include "support/engine_log.h"
#include "text/test_data.h"

using testsupport::str;

namespace {

// Every test pins the ANSI code page so that results do not depend on the
// machine's locale.
class XStringTest : public ::testing::Test {
  protected:
    void TearDown() override { platform::setCodePagesForTesting(0, 0); }
};

// Hex units followed by a 0 unit.
std::vector<uint16_t> unitsOf(const std::string& field) {
    std::vector<uint16_t> u;
    for (uint32_t x : testdata::numbers(field)) u.push_back(static_cast<uint16_t>(x));
    u.push_back(0);
    return u;
}

std::vector<uint16_t> unitsOf(XString& x) {
    std::vector<uint16_t> u;
    for (const uint16_t* p = x.getUtf16();; ++p)
        if (u.push_back(*p), !*p) return u;
}

}  // namespace

// One XString takes every row in turn, so each set replaces all the forms of
// the row before.
TEST_F(XStringTest, FormVectors) {
    using testdata::unescape;
    int n = 0;
    XString x;
    for (const testdata::Row& r : testdata::rows("text/xstring.tsv")) {
        ASSERT_GE(r.f.size(), 9u) << r.where();
        SCOPED_TRACE(r.where() + ": " + r.f[2]);
        platform::setCodePagesForTesting(std::stoul(r.f[0]), 437);
        const std::string& from = r.f[1];
        const std::vector<uint16_t> units = unitsOf(r.f[5]);
        if (from == "utf16") {
            const std::vector<uint16_t> in = unitsOf(r.f[2]);
            x.setFromUtf16(in.data(), static_cast<uint32_t>(in.size() - 1));
        } else if (from == "ansi") {
            x.setFromAnsi(unescape(r.f[2]).c_str());
        } else if (from == "utf8") {
            x.setFromUtf8(unescape(r.f[2]).c_str());
        } else {
            ASSERT_EQ(from.rfind("switch-", 0), 0u) << from;
            x.setFromSwitch(unescape(r.f[2]).c_str(), from == "switch-utf8");
        }
        EXPECT_EQ(x.length(), std::stoul(r.f[6])) << "at once";
        EXPECT_EQ(x.isEmpty(), r.f[5] == "-");
        EXPECT_EQ(unitsOf(x), units);
        EXPECT_EQ(x.getUtf16Db().size(), 2 * (units.size() - 1));
        EXPECT_EQ(x.getUtf8(), unescape(r.f[4]));
        EXPECT_EQ(str(x.getUtf8Sb()), unescape(r.f[4]));
        EXPECT_EQ(x.getAnsi(), unescape(r.f[3]));
        EXPECT_EQ(str(x.getAnsiSb()), unescape(r.f[3]));
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
            EXPECT_EQ(again[i].getUtf8(), unescape(r.f[4])) << i;
        EXPECT_EQ(unitsOf(copied), units);
        EXPECT_EQ(copied.getAnsi(), unescape(r.f[3]));
        ++n;
    }
    EXPECT_GE(n, 20);
}

TEST_F(XStringTest, EmptyAndInvalidInput) {
    platform::setCodePagesForTesting(1252, 437);
    // Each form read first from a fresh set, before the others are made.
    XString x;
    x.setFromUtf8("first");
    EXPECT_STREQ(x.getAnsi(), "first");
    x.setFromAnsi("second");
    EXPECT_TRUE(x.canBeAnsi());
    EXPECT_STREQ(x.getUtf8(), "second");
    x.setFromUtf8("abcdef", 3);
    EXPECT_STREQ(x.getUtf8(), "abc");
    EXPECT_EQ(x.length(), 3u);
    // Null or empty input, or clear(), leave every form empty.
    const uint16_t w[] = {'w', 0};
    for (int i = 0; i < 4; ++i) {
        x.setFromUtf8("something");
        x.getUtf16();
        if (i == 0) x.setFromUtf8(static_cast<const char*>(nullptr));
        if (i == 1) x.setFromAnsi("");
        if (i == 2) x.setFromUtf16(w, 0);
        if (i == 3) x.clear();
        EXPECT_TRUE(x.isEmpty()) << i;
        EXPECT_STREQ(x.getAnsi(), "") << i;
        EXPECT_STREQ(x.getUtf8(), "") << i;
        EXPECT_EQ(x.getUtf16()[0], 0) << i;
    }
    // Invalid UTF-8 is kept as given; the other forms leave out what is wrong.
    x.setFromUtf8(
        "ok\xFF\xC0"
        "end");
    EXPECT_EQ(unitsOf(x), unitsOf("6F 6B 65 6E 64"));
    EXPECT_STREQ(x.getUtf8(),
                 "ok\xFF\xC0"
                 "end");
    // Room for the UTF-8 form is reserved before converting from ANSI.
    x.setFromAnsi(std::string(320, '\xE9').c_str());
    EXPECT_EQ(x.getUtf8Sb().length(), 640u);
    EXPECT_GE(x.getUtf8Sb().capacity(), 320u + 320u / 16 + 4);
}
