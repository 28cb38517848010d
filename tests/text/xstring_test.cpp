#include "text/xstring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/code_pages.h"

namespace {

// Every test pins the ANSI code page so that results do not depend on the
// machine's locale.
class XStringTest : public ::testing::Test {
  protected:
    void pin(unsigned ansi) { platform::setCodePagesForTesting(ansi, 437); }
    void SetUp() override { pin(1252); }
    void TearDown() override { platform::setCodePagesForTesting(0, 0); }
};

std::u16string units(XString& x) {
    const uint16_t* p = x.getUtf16();
    std::u16string s;
    while (*p) s.push_back(static_cast<char16_t>(*p++));
    return s;
}

std::string str(const StringBuffer& sb) {
    return std::string(sb.getString(), sb.length());
}

}  // namespace

TEST_F(XStringTest, EAcuteFromUtf8) {
    XString x;
    x.setFromUtf8("\xC3\xA9");
    EXPECT_STREQ(x.getAnsi(), "\xE9");
    EXPECT_EQ(x.getAnsiSb().length(), 1u);
    EXPECT_EQ(units(x), u"\u00E9");
    EXPECT_EQ(x.getUtf16Db().size(), 2u);
    EXPECT_EQ(x.length(), 1u);
    EXPECT_STREQ(x.getUtf8(), "\xC3\xA9");
}

TEST_F(XStringTest, EmptyStringHasAllFormsValid) {
    XString x;
    EXPECT_TRUE(x.isEmpty());
    EXPECT_EQ(x.length(), 0u);
    EXPECT_STREQ(x.getAnsi(), "");
    EXPECT_STREQ(x.getUtf8(), "");
    EXPECT_EQ(x.getUtf16()[0], 0);
    EXPECT_TRUE(x.canBeAnsi());
}

TEST_F(XStringTest, NullOrEmptyInputClearsEverything) {
    XString x;
    x.setFromUtf8("something");
    x.setFromUtf8(static_cast<const char*>(nullptr));
    EXPECT_TRUE(x.isEmpty());
    EXPECT_STREQ(x.getAnsi(), "");
    EXPECT_EQ(x.getUtf16()[0], 0);

    x.setFromAnsi("abc");
    x.setFromAnsi("");
    EXPECT_STREQ(x.getUtf8(), "");
    EXPECT_EQ(x.length(), 0u);

    const uint16_t w[] = {'h', 'i', 0};
    x.setFromUtf16(w);
    EXPECT_EQ(x.length(), 2u);
    x.setFromUtf16(w, 0);
    EXPECT_TRUE(x.isEmpty());
    EXPECT_STREQ(x.getUtf8(), "");

    x.setFromUtf8("z");
    x.clear();
    EXPECT_TRUE(x.isEmpty());
    EXPECT_STREQ(x.getAnsi(), "");
}

TEST_F(XStringTest, SettingOneFormReplacesTheOthers) {
    XString x;
    x.setFromUtf8("first");
    EXPECT_STREQ(x.getAnsi(), "first");
    EXPECT_EQ(units(x), u"first");
    x.setFromAnsi("second");
    EXPECT_STREQ(x.getUtf8(), "second");
    EXPECT_EQ(units(x), u"second");
    const uint16_t w[] = {'t', 'h', 'i', 'r', 'd', 0};
    x.setFromUtf16(w);
    EXPECT_STREQ(x.getUtf8(), "third");
    EXPECT_STREQ(x.getAnsi(), "third");
}

TEST_F(XStringTest, AnsiSourceConvertsUnderPinnedCodePage) {
    XString x;
    x.setFromAnsi("\x80 caf\xE9");
    EXPECT_TRUE(x.canBeAnsi());
    EXPECT_STREQ(x.getUtf8(), "\xE2\x82\xAC caf\xC3\xA9");
    EXPECT_EQ(units(x), u"\u20AC caf\u00E9");
    EXPECT_EQ(x.length(), 6u) << "ANSI byte count";

    pin(28591);
    XString l;
    l.setFromAnsi("\x80");
    EXPECT_EQ(units(l), u"\u0080");
}

TEST_F(XStringTest, Utf8GetterReservesRoomBeforeConvertingAnsi) {
    std::string ansi(320, '\xE9');
    XString x;
    x.setFromAnsi(ansi.c_str());
    const StringBuffer& u = x.getUtf8Sb();
    EXPECT_EQ(u.length(), 640u);
    EXPECT_GE(u.capacity(), 320u + 320u / 16 + 4);
}

TEST_F(XStringTest, LengthCountsUtf16UnitsWhenAnsiIsNotValid) {
    XString x;
    // "A", euro sign, U+1D11E (a surrogate pair).
    x.setFromUtf8("A\xE2\x82\xAC\xF0\x9D\x84\x9E");
    EXPECT_EQ(x.length(), 4u);
    EXPECT_EQ(units(x), u"A\u20AC\U0001D11E");
}

TEST_F(XStringTest, CanBeAnsiUnder1252And28591) {
    XString euro;
    euro.setFromUtf8(
        "price \xE2\x82\xAC"
        "5");
    EXPECT_TRUE(euro.canBeAnsi());
    EXPECT_STREQ(euro.getAnsi(),
                 "price \x80"
                 "5");
    EXPECT_EQ(euro.length(), 8u) << "the ANSI form is now valid";

    pin(28591);
    XString euro2;
    euro2.setFromUtf8(
        "price \xE2\x82\xAC"
        "5");
    EXPECT_FALSE(euro2.canBeAnsi());
    EXPECT_FALSE(euro2.canBeAnsi()) << "answered again from the state";
    EXPECT_STREQ(euro2.getUtf8(),
                 "price \xE2\x82\xAC"
                 "5")
        << "the other forms are intact";
    EXPECT_EQ(euro2.length(), 8u) << "UTF-16 units, since there is no ANSI form";

    XString latin;
    latin.setFromUtf8("na\xC3\xAFve");
    EXPECT_TRUE(latin.canBeAnsi());
    EXPECT_STREQ(latin.getAnsi(), "na\xEFve");

    pin(1252);
    XString cjk;
    const uint16_t w[] = {0x65E5, 0x672C, 0};
    cjk.setFromUtf16(w);
    EXPECT_FALSE(cjk.canBeAnsi());
    XString fromAnsi;
    fromAnsi.setFromAnsi("\xFF");
    EXPECT_TRUE(fromAnsi.canBeAnsi());
}

TEST_F(XStringTest, LossyAnsiDoesNotCorruptOtherForms) {
    pin(28591);
    const uint16_t w[] = {'a', 0x20AC, 'b', 0};
    XString x;
    x.setFromUtf16(w);
    EXPECT_STREQ(x.getAnsi(), "ab") << "the euro sign is dropped from the ANSI form";
    // The UTF-8 form must come from the UTF-16 text, not from the lossy ANSI.
    EXPECT_STREQ(x.getUtf8(),
                 "a\xE2\x82\xAC"
                 "b");
    EXPECT_EQ(x.length(), 3u);
    EXPECT_FALSE(x.canBeAnsi());
}

TEST_F(XStringTest, RoundTripsThroughAllForms) {
    const char* samples[] = {"plain ascii",
                             "Gr\xC3\xBC\xC3\x9F"
                             "e",
                             "\xE2\x80\x9Cq\xE2\x80\x9D", "\xF0\x9F\x98\x80 emoji",
                             "\xE6\x97\xA5\xE6\x9C\xAC"};
    for (const char* s : samples) {
        XString a;
        a.setFromUtf8(s);
        std::u16string u = units(a);
        XString b;
        b.setFromUtf16(reinterpret_cast<const uint16_t*>(u.c_str()));
        EXPECT_STREQ(b.getUtf8(), s);
        XString c;
        c.setFromUtf16(reinterpret_cast<const uint16_t*>(u.data()),
                       static_cast<uint32_t>(u.size()));
        EXPECT_STREQ(c.getUtf8(), s);
        if (a.canBeAnsi()) {
            XString d;
            d.setFromAnsi(a.getAnsi());
            EXPECT_STREQ(d.getUtf8(), s);
        }
    }
}

TEST_F(XStringTest, Utf8AnsiCodePageIsIdentity) {
    pin(65001);
    XString x;
    x.setFromAnsi("\xE6\x97\xA5");
    EXPECT_EQ(units(x), u"\u65E5");
    EXPECT_TRUE(x.canBeAnsi());
    XString y;
    const uint16_t w[] = {0x65E5, 0};
    y.setFromUtf16(w);
    EXPECT_TRUE(y.canBeAnsi());
    EXPECT_STREQ(y.getAnsi(), "\xE6\x97\xA5");
}

TEST_F(XStringTest, SetFromSwitch) {
    XString x;
    x.setFromSwitch("\xC3\xA9", true);
    EXPECT_EQ(units(x), u"\u00E9");
    x.setFromSwitch("\xC3\xA9", false);  // two ANSI characters under 1252
    EXPECT_EQ(units(x), u"\u00C3\u00A9");
    EXPECT_EQ(x.length(), 2u);
}

TEST_F(XStringTest, SetFromUtf8WithLength) {
    XString x;
    x.setFromUtf8("abcdef", 3);
    EXPECT_STREQ(x.getUtf8(), "abc");
    EXPECT_EQ(x.length(), 3u);
}

TEST_F(XStringTest, CopiesAreIndependent) {
    XString a;
    a.setFromUtf8("original \xC3\xA9");
    a.getUtf16();
    XString b(a);
    XString c;
    c.copyFrom(a);
    XString d;
    d = a;
    a.setFromUtf8("changed");
    for (XString* x : {&b, &c, &d}) {
        EXPECT_STREQ(x->getUtf8(), "original \xC3\xA9");
        EXPECT_EQ(units(*x), u"original \u00E9");
        EXPECT_STREQ(x->getAnsi(), "original \xE9");
    }
    EXPECT_STREQ(a.getAnsi(), "changed");
}

TEST_F(XStringTest, InvalidUtf8InputDoesNotCrash) {
    XString x;
    x.setFromUtf8(
        "ok\xFF\xC0"
        "end");
    EXPECT_EQ(units(x), u"okend");
    EXPECT_STREQ(x.getUtf8(),
                 "ok\xFF\xC0"
                 "end")
        << "the stored UTF-8 form is kept as given";
}

TEST_F(XStringTest, SbAccessorsMatchCStrings) {
    XString x;
    x.setFromUtf8("\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(str(x.getUtf8Sb()), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(str(x.getAnsiSb()), "\xE9t\xE9");
    const DataBuffer& db = x.getUtf16Db();
    ASSERT_EQ(db.size(), 6u);
    EXPECT_EQ(std::memcmp(db.data(), "\xE9\x00t\x00\xE9\x00", 6), 0);
}
