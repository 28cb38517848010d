// What the entries hold and how their texts are rendered in XML.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "diag/logger.h"
#include "log_test_support.h"
#include "platform/clock.h"
#include "platform/system_error.h"

using namespace logtest;

// ------------------------------------------------------------ null texts

TEST(LoggerEntries, NullTextsAreIgnoredAndReportSuccess) {
    Logger log;
    log.EnterContext("Op", true);
    EXPECT_TRUE(log.LogError(nullptr));
    EXPECT_TRUE(log.LogInfo(nullptr));
    EXPECT_TRUE(log.LogRaw(nullptr));
    EXPECT_EQ(childCount(child(log.root(), 0)), 0u);
    log.LeaveContext();
    EXPECT_EQ(xmlOf(log), underRoot("<Op>\r\n</Op>\r\n"));
}

TEST(LoggerEntries, EmptyTextIsAnEntryUnlikeANullOne) {
    Logger log;
    EXPECT_TRUE(log.LogError(""));
    EXPECT_TRUE(log.LogInfo(""));
    EXPECT_EQ(xmlOf(log), underRoot("<error></error>\r\n<info></info>\r\n"));
}

// ----------------------------------------------------------------- CDATA

struct CdataCase {
    const char* label;
    const char* text;
    bool wrapped;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const CdataCase& c, std::ostream* os) { *os << c.label; }

class LoggerCdata : public ::testing::TestWithParam<CdataCase> {};

TEST_P(LoggerCdata, InfoTextIsWrappedOnlyWhenItWouldBreakTheMarkup) {
    const CdataCase& c = GetParam();
    Logger log;
    log.LogInfo(c.text);
    std::string body = c.wrapped ? std::string("<![CDATA[") + c.text + "]]>" : std::string(c.text);
    EXPECT_EQ(xmlOf(log), underRoot("<info>" + body + "</info>\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LoggerCdata,
    ::testing::Values(CdataCase{"less_than", "a<b", true},
                      CdataCase{"greater_than", "a>b", true},
                      CdataCase{"ampersand", "Tom & Jerry", true},
                      CdataCase{"tab", "a\tb", true},
                      CdataCase{"line_feed", "line1\nline2", true},
                      CdataCase{"crlf", "line1\r\nline2", true},
                      CdataCase{"letters", "abcXYZ", false},
                      CdataCase{"cr_only", "a\rb\r", false},
                      CdataCase{"quotes", "say \"hi\" it's", false},
                      CdataCase{"utf8_bytes", "Gr\xC3\xBC\xC3\x9F" "e", false},
                      CdataCase{"empty", "", false},
                      // Already a CDATA section: written as given.
                      CdataCase{"has_both_markers", "<![CDATA[x<y]]>", false},
                      CdataCase{"markers_reversed", "]]> and <![CDATA[", false},
                      // One marker alone is not enough to count as pre-wrapped;
                      // the text is wrapped like any other.
                      CdataCase{"only_close_marker", "x]]>y", true},
                      CdataCase{"only_open_marker", "<![CDATA[ only", true}),
    [](const ::testing::TestParamInfo<CdataCase>& info) { return std::string(info.param.label); });

TEST(LoggerEntries, ErrorsValuesAndRawTextsAreWrappedTheSameWay) {
    Logger log;
    log.LogError("x<y");
    log.LogData("reply", "250 OK\n");
    log.LogRaw("a&b");
    log.LogError("plain");
    EXPECT_EQ(xmlOf(log), underRoot("<error><![CDATA[x<y]]></error>\r\n"
                                    "<reply><![CDATA[250 OK\n]]></reply>\r\n"
                                    "<![CDATA[a&b]]>\r\n"
                                    "<error>plain</error>\r\n"));
}

TEST(LoggerEntries, TextsAreNeverEscaped) {
    Logger log;
    log.LogInfo("<b>&amp;</b>");
    std::string xml = xmlOf(log);
    EXPECT_EQ(xml.find("&lt;"), std::string::npos);
    EXPECT_NE(xml.find("<![CDATA[<b>&amp;</b>]]>"), std::string::npos);
}

TEST(LoggerEntries, ContextNamesAreWrittenAsGiven) {
    Logger log;
    log.EnterContext("a&b c", true);
    log.LogInfo("x");
    EXPECT_EQ(xmlOf(log), underRoot("<a&b c>\r\n<info>x</info>\r\n</a&b c>\r\n"));
}

// --------------------------------------------------------------- LogData

TEST(LoggerData, NameIsTrimmedAndInnerBlanksBecomeUnderscores) {
    Logger log;
    EXPECT_TRUE(log.LogData("  a  b  ", "v"));
    const LogEntry2* e = child(log.root(), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind(), 'T');
    EXPECT_EQ(str(e->name()), "a__b");
    EXPECT_EQ(xmlOf(log), underRoot("<a__b>v</a__b>\r\n"));
}

TEST(LoggerData, TabsAndLineEndsAroundTheNameAreTrimmed) {
    Logger log;
    EXPECT_TRUE(log.LogData("\t\r\n Subject \r\n", "hi"));
    EXPECT_EQ(str(child(log.root(), 0)->name()), "Subject");
}

TEST(LoggerData, NullValueIsLoggedAsNullMarker) {
    Logger log;
    EXPECT_TRUE(log.LogData("from", nullptr));
    EXPECT_EQ(xmlOf(log), underRoot("<from>(NULL)</from>\r\n"));
}

TEST(LoggerData, EmptyValueIsKeptEmpty) {
    Logger log;
    EXPECT_TRUE(log.LogData("to", ""));
    EXPECT_EQ(xmlOf(log), underRoot("<to></to>\r\n"));
}

TEST(LoggerData, NamesWithoutContentLogNothingAndFail) {
    Logger log;
    EXPECT_FALSE(log.LogData("   ", "v"));
    EXPECT_FALSE(log.LogData("", "v"));
    EXPECT_FALSE(log.LogData(" \t\r\n", "v"));
    EXPECT_FALSE(log.LogData(nullptr, "v"));
    EXPECT_FALSE(log.LogDataLong("  ", 1));
    EXPECT_FALSE(log.LogDataInt64("", 1));
    EXPECT_FALSE(log.LogDataHex(" ", 1));
    EXPECT_FALSE(log.LogTickCount("  "));
    EXPECT_FALSE(log.LogDataSb(" ", StringBuffer("v")));
    EXPECT_EQ(childCount(log.root()), 0u);
    EXPECT_EQ(xmlOf(log), "<BrenvikLog>\r\n</BrenvikLog>\r\n");
}

TEST(LoggerData, ThirtyTwoBitValuesAreSignedDecimal) {
    Logger log;
    log.LogDataLong("neg", -42);
    log.LogDataLong("min", INT32_MIN);
    log.LogDataLong("max", INT32_MAX);
    log.LogDataLong("zero", 0);
    EXPECT_EQ(xmlOf(log), underRoot("<neg>-42</neg>\r\n<min>-2147483648</min>\r\n"
                                    "<max>2147483647</max>\r\n<zero>0</zero>\r\n"));
}

TEST(LoggerData, SixtyFourBitValuesKeepBothHalvesAndTheSign) {
    Logger log;
    log.LogDataInt64("big", 5000000000LL);
    log.LogDataInt64("neg", -9000000000LL);
    log.LogDataInt64("min", INT64_MIN);
    log.LogDataInt64("max", INT64_MAX);
    log.LogDataInt64("minus_one", -1);
    EXPECT_EQ(xmlOf(log), underRoot("<big>5000000000</big>\r\n<neg>-9000000000</neg>\r\n"
                                    "<min>-9223372036854775808</min>\r\n"
                                    "<max>9223372036854775807</max>\r\n"
                                    "<minus_one>-1</minus_one>\r\n"));
}

TEST(LoggerData, HexValuesAreLowerCaseWithPrefixAndNoPadding) {
    Logger log;
    log.LogDataHex("a", 255);
    log.LogDataHex("b", 0);
    log.LogDataHex("c", 0xDEADBEEFu);
    log.LogDataHex("d", 0x10u);
    EXPECT_EQ(xmlOf(log), underRoot("<a>0xff</a>\r\n<b>0x0</b>\r\n<c>0xdeadbeef</c>\r\n"
                                    "<d>0x10</d>\r\n"));
}

TEST(LoggerData, TypedNamesAreCleanedLikeLogData) {
    Logger log;
    log.LogDataLong(" num ber ", 7);
    EXPECT_EQ(xmlOf(log), underRoot("<num_ber>7</num_ber>\r\n"));
}

TEST(LoggerData, TickCountIsTheCurrentTickInBareHex) {
    Logger log;
    uint32_t before = platform::tickCount();
    ASSERT_TRUE(log.LogTickCount("start tick"));
    uint32_t after = platform::tickCount();
    const LogEntry2* e = child(log.root(), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(str(e->name()), "start_tick");
    std::string v = str(e->text());
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.find_first_not_of("0123456789abcdef"), std::string::npos) << v;
    uint32_t logged = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 16));
    // Unsigned differences survive the wrap at 2^32.
    EXPECT_LE(logged - before, after - before);
}

TEST(LoggerData, StringBufferValuesAreLoggedByContent) {
    Logger log;
    StringBuffer v("user@example.com");
    EXPECT_TRUE(log.LogDataSb("mail from", v));
    EXPECT_EQ(xmlOf(log), underRoot("<mail_from>user@example.com</mail_from>\r\n"));
}

// --------------------------------------------------------- system errors

TEST(LoggerSystemError, CodeZeroLogsNothing) {
    Logger log;
    EXPECT_TRUE(log.LogWindowsError(0));
    EXPECT_EQ(childCount(log.root()), 0u);
}

TEST(LoggerSystemError, NonZeroCodeLogsTheSystemText) {
    Logger log;
    ASSERT_TRUE(log.LogWindowsError(2));
    const LogEntry2* e = child(log.root(), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind(), 'T');
    EXPECT_EQ(str(e->name()), "WindowsError");
    std::string text = str(e->text());
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text, platform::systemErrorText(2));
    EXPECT_EQ(childCount(log.root()), 1u);
}

namespace {
// Records what reaches LogData, to see where the shared body sends it.
class RecordingLog : public LogBase {
public:
    bool LogData(const char* name, const char* value) override {
        ++calls;
        lastName = name ? name : "<null>";
        lastValue = value ? value : "<null>";
        return true;
    }
    int calls = 0;
    std::string lastName, lastValue;
};
}  // namespace

TEST(LogBaseDefaults, SystemErrorGoesThroughLogDataOfTheSameObject) {
    RecordingLog log;
    EXPECT_TRUE(log.LogWindowsError(0));
    EXPECT_EQ(log.calls, 0);
    EXPECT_TRUE(log.LogWindowsError(13));
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.lastName, "WindowsError");
    EXPECT_EQ(log.lastValue, platform::systemErrorText(13));
    EXPECT_FALSE(log.lastValue.empty());
}

TEST(LogBaseDefaults, StringBufferDataGoesThroughLogData) {
    RecordingLog log;
    StringBuffer v("value");
    EXPECT_TRUE(log.LogDataSb("name", v));
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.lastName, "name");
    EXPECT_EQ(log.lastValue, "value");
}

TEST(LogBaseDefaults, NullLogAcceptsEverythingAndKeepsNothing) {
    LogNull log;
    StringBuffer out("untouched");
    EXPECT_TRUE(log.GetXml(out));
    EXPECT_TRUE(log.GetHtml(out));
    EXPECT_TRUE(log.GetText(out));
    EXPECT_STREQ(out.getString(), "untouched");
    EXPECT_TRUE(log.LogError("e"));
    EXPECT_TRUE(log.LogInfo(nullptr));
    EXPECT_TRUE(log.LogRaw("r"));
    log.ClearLog();
    EXPECT_TRUE(log.EnterContext("c", true));
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_TRUE(log.LeaveContext());
    // Even inputs a recording log refuses succeed here.
    EXPECT_TRUE(log.LogData("  ", "v"));
    EXPECT_TRUE(log.LogDataLong("", 1));
    EXPECT_TRUE(log.LogDataInt64("n", -1));
    EXPECT_TRUE(log.LogDataHex("n", 1));
    EXPECT_TRUE(log.LogWindowsError(2));
    EXPECT_TRUE(log.LogTickCount("t"));
    EXPECT_TRUE(log.LogDataSb("n", StringBuffer("v")));
    // Nothing is written anywhere, whatever the path.
    EXPECT_TRUE(log.SaveLastError(0, nullptr));
}

// ------------------------------------------------------ other renderings

TEST(LoggerRenderings, TextRenderingIndentsNestedEntries) {
    Logger log;
    log.EnterContext("Op", true);
    log.LogInfo("hello");
    log.LogError("oops");
    log.LogData("k", "v");
    log.LeaveContext();
    StringBuffer out("old");
    ASSERT_TRUE(log.GetText(out));
    std::string t(out.getString(), out.length());
    EXPECT_EQ(t.find("old"), std::string::npos);
    EXPECT_EQ(t, "BrenvikLog:\r\n  Op:\r\n    hello\r\n    Error: oops\r\n    k: v\r\n");
}

TEST(LoggerRenderings, HtmlRenderingEscapesTextsAndNames) {
    Logger log;
    log.EnterContext("a<b", true);
    log.LogInfo("<script>&");
    log.LogData("k", "\"q\"");
    log.LeaveContext();
    StringBuffer out("old");
    ASSERT_TRUE(log.GetHtml(out));
    std::string h(out.getString(), out.length());
    EXPECT_EQ(h.find("old"), std::string::npos);
    EXPECT_EQ(h.find("<script>"), std::string::npos);
    EXPECT_EQ(h.find("a<b"), std::string::npos);
    EXPECT_NE(h.find("&lt;script&gt;&amp;"), std::string::npos);
    EXPECT_NE(h.find("a&lt;b"), std::string::npos);
    EXPECT_NE(h.find("&quot;q&quot;"), std::string::npos);
    EXPECT_NE(h.find("BrenvikLog"), std::string::npos);
    // Every opened division is closed.
    EXPECT_EQ(countOf(h, "<div"), countOf(h, "</div>"));
}
