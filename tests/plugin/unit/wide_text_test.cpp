// The plug-in's own text helpers, compiled straight into this program.
#include "plugin/wide_text.h"

#include <gtest/gtest.h>

#include <string>

#include "plugin/shared_handle.h"

using plugin::scanDecimal;
using plugin::toUtf8;
using plugin::utf16ToUtf8;
using plugin::utf32ToUtf8;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(ToUtf8, NullStaysNull) {
    plugin::Utf8Text t = toUtf8(nullptr);
    EXPECT_TRUE(t.isNull());
    EXPECT_EQ(t.c_str(), nullptr);
}

TEST(ToUtf8, EmptyIsEmptyNotNull) {
    plugin::Utf8Text t = toUtf8(L"");
    EXPECT_FALSE(t.isNull());
    ASSERT_NE(t.c_str(), nullptr);
    EXPECT_STREQ(t.c_str(), "");
}

TEST(ToUtf8, EncodesEveryLengthClass) {
    EXPECT_EQ(toUtf8(L"abc").str(), "abc");
    EXPECT_EQ(toUtf8(L"\u00E9").str(), "\xC3\xA9");
    EXPECT_EQ(toUtf8(L"\u07FF\u0800").str(), "\xDF\xBF\xE0\xA0\x80");
    EXPECT_EQ(toUtf8(L"\u20AC").str(), "\xE2\x82\xAC");
    EXPECT_EQ(toUtf8(L"\uFFFF").str(), "\xEF\xBF\xBF");
    EXPECT_EQ(toUtf8(L"\U0001F600").str(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(toUtf8(L"\U0010FFFF").str(), "\xF4\x8F\xBF\xBF");
}

TEST(ToUtf8, StopsAtTheTerminator) {
    const wchar_t text[] = {L'a', 0, L'b', 0};
    EXPECT_EQ(toUtf8(text).str(), "a");
}

TEST(ToUtf8, InvalidUnitsOfThisPlatformBecomeReplacement) {
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    EXPECT_EQ(toUtf8(lone).str(), "a" + kFffd + "b");
    if (sizeof(wchar_t) == 4) {
        const wchar_t big[] = {static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1), L'z', 0};
        EXPECT_EQ(toUtf8(big).str(), kFffd + kFffd + "z");
    }
}

TEST(Utf16ToUtf8, JoinsSurrogatePairs) {
    EXPECT_EQ(utf16ToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf16ToUtf8(u"\xDBFF\xDFFF"), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(utf16ToUtf8(u"\xD800\xDC00"), "\xF0\x90\x80\x80");
}

TEST(Utf16ToUtf8, UnpairedSurrogatesBecomeReplacement) {
    EXPECT_EQ(utf16ToUtf8(u"\xD800"), kFffd);         // high at the end
    EXPECT_EQ(utf16ToUtf8(u"\xDC00x"), kFffd + "x");  // low alone
    EXPECT_EQ(utf16ToUtf8(u"\xD800"
                          u"A"),
              kFffd + "A");  // high, then no low
    EXPECT_EQ(utf16ToUtf8(u"\xD800\xD800\xDC00"), kFffd + "\xF0\x90\x80\x80");
    EXPECT_EQ(utf16ToUtf8(u"\xDE00\xD83D"), kFffd + kFffd);  // pair in the wrong order
}

TEST(Utf16ToUtf8, NullAndEmpty) {
    EXPECT_EQ(utf16ToUtf8(nullptr), "");
    EXPECT_EQ(utf16ToUtf8(u""), "");
}

TEST(Utf32ToUtf8, RejectsSurrogatesAndValuesBeyondUnicode) {
    const char32_t pair[] = {0xD83D, 0xDE00, 0};  // never joined in UTF-32
    EXPECT_EQ(utf32ToUtf8(pair), kFffd + kFffd);
    const char32_t big[] = {0x10FFFF, 0x110000, 0xFFFFFFFF, 0};
    EXPECT_EQ(utf32ToUtf8(big), "\xF4\x8F\xBF\xBF" + kFffd + kFffd);
    EXPECT_EQ(utf32ToUtf8(U"\U0001F600!"), "\xF0\x9F\x98\x80!");
}

TEST(Utf32ToUtf8, LongTextKeepsEveryCharacter) {
    std::u32string text(5000, U'\U0001F600');
    std::string out = utf32ToUtf8(text.c_str());
    ASSERT_EQ(out.size(), 20000u);
    EXPECT_EQ(out.substr(19996), "\xF0\x9F\x98\x80");
}

TEST(ScanDecimal, ReadsTheLeadingNumber) {
    EXPECT_EQ(scanDecimal(L"25"), 25);
    EXPECT_EQ(scanDecimal(L"587"), 587);
    EXPECT_EQ(scanDecimal(L"12abc"), 12);
    EXPECT_EQ(scanDecimal(L"007"), 7);
}

TEST(ScanDecimal, SkipsBlanksAndTakesOneSign) {
    EXPECT_EQ(scanDecimal(L"  \t\r\n\v\f465"), 465);
    EXPECT_EQ(scanDecimal(L"+25"), 25);
    EXPECT_EQ(scanDecimal(L" -1"), -1);
    EXPECT_EQ(scanDecimal(L"--1"), 0);
    EXPECT_EQ(scanDecimal(L"- 5"), 0);
    EXPECT_EQ(scanDecimal(L"+-5"), 0);
}

TEST(ScanDecimal, NoNumberGivesZero) {
    EXPECT_EQ(scanDecimal(nullptr), 0);
    EXPECT_EQ(scanDecimal(L""), 0);
    EXPECT_EQ(scanDecimal(L"abc"), 0);
    EXPECT_EQ(scanDecimal(L"x25"), 0);
    EXPECT_EQ(scanDecimal(L"\uFF12\uFF15"), 0);  // full-width digits are not digits here
    EXPECT_EQ(scanDecimal(L"\u00A025"), 0);      // nor is a no-break space a blank
}

TEST(ScanDecimal, OverflowWrapsAtThirtyTwoBits) {
    EXPECT_EQ(scanDecimal(L"2147483647"), 2147483647);
    EXPECT_EQ(scanDecimal(L"4294967321"), 25);  // 2^32 + 25
    EXPECT_EQ(scanDecimal(L"-2147483648"), -2147483647 - 1);
    // Very long digit strings are read to the end without trouble.
    EXPECT_EQ(scanDecimal(std::wstring(1000, L'0').append(L"42").c_str()), 42);
}

// ---------------------------------------------------------------- handle

struct Counted {
    explicit Counted(int& d) : deaths(d) {}
    ~Counted() { ++deaths; }
    int& deaths;
};

TEST(SharedHandle, EmptyHandleHoldsNothing) {
    SharedHandle<Counted> h;
    EXPECT_FALSE(h);
    EXPECT_EQ(h.get(), nullptr);
    EXPECT_EQ(h.useCount(), 0);
    h.release();  // harmless
    SharedHandle<Counted> fromNull(nullptr);
    EXPECT_FALSE(fromNull);
}

TEST(SharedHandle, NewHandleCountsOneAndReleaseDeletesOnce) {
    int deaths = 0;
    SharedHandle<Counted> h(new Counted(deaths));
    EXPECT_TRUE(h);
    EXPECT_EQ(h.useCount(), 1);
    h.release();
    EXPECT_EQ(deaths, 1);
    EXPECT_FALSE(h);
    h.release();
    EXPECT_EQ(deaths, 1);
}

TEST(SharedHandle, LastCopyDeletes) {
    int deaths = 0;
    {
        SharedHandle<Counted> a(new Counted(deaths));
        SharedHandle<Counted> b(a);
        SharedHandle<Counted> c;
        c = b;
        EXPECT_EQ(a.useCount(), 3);
        EXPECT_EQ(c.get(), a.get());
        a.release();
        b.release();
        EXPECT_EQ(deaths, 0);
        EXPECT_EQ(c.useCount(), 1);
    }
    EXPECT_EQ(deaths, 1);
}

TEST(SharedHandle, AssignmentReleasesTheOldObject) {
    int first = 0, second = 0;
    SharedHandle<Counted> h(new Counted(first));
    h = SharedHandle<Counted>(new Counted(second));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    h = h;  // self-assignment keeps it
    EXPECT_EQ(second, 0);
    EXPECT_EQ(h.useCount(), 1);
}

}  // namespace
