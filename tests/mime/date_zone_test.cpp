// Numeric zones far outside a day: refused, without the arithmetic on the
// hours overflowing on the way (found by fuzz/date_fuzz).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "diag/log_base.h"
#include "mime/date_parser.h"
#include "mime/email2.h"
#include "mime_test_support.h"

using mimetest::str;

namespace {

std::string utc(const char* text) {
    SystemTime t;
    if (!DateParser::parseRfc822Date(text, t)) return "fail";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

std::string dateOf(const Email2& e) {
    const SystemTime& t = e.date();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute);
    return buf;
}

// 71582788 hours are 2^32 - 16 minutes: in 32-bit arithmetic the zone came
// out as 16 minutes and the date was taken.
TEST(DateZone, HugeHoursAreRefusedNotWrapped) {
    EXPECT_EQ(utc("1 Jan 2000 00:00 +71582788:00"), "fail");
    EXPECT_EQ(utc("1 Jan 2000 00:00 -71582788:00"), "fail");
    // The text from the report, and hours and minutes that overflow together.
    EXPECT_EQ(utc("1 Jan 2000 00:00 99999999:00"), "fail");
    EXPECT_EQ(utc("1 Jan 2000 00:00 999999999:999999999"), "fail");
    EXPECT_EQ(utc("1 Jan 2000 00:00 -35791394:999999999"), "fail");
    EXPECT_EQ(utc("1 Jan 2000 00:00 +999999999"), "fail");
}

TEST(DateZone, ZonesWithinADayStillWork) {
    EXPECT_EQ(utc("1 Jan 2000 00:00 +2359"), "1999-12-31 00:01:00");
    EXPECT_EQ(utc("1 Jan 2000 00:00 -23:59"), "2000-01-01 23:59:00");
    EXPECT_EQ(utc("1 Jan 2000 00:00 +23"), "1999-12-31 01:00:00");
    EXPECT_EQ(utc("1 Jan 2000 00:00 +24:00"), "fail");
    EXPECT_EQ(utc("1 Jan 2000 00:00 -2400"), "fail");
}

// The same text through the two roads that reach the parser: the field
// keeps its text, the date is not taken.
TEST(DateZone, HugeZoneLeavesTheMessageDateAlone) {
    const char* text = "1 Jan 2000 00:00 +71582788:00";
    Email2* e = Email2::createNewEmail();
    ASSERT_NE(e, nullptr);
    const std::string before = dateOf(*e);
    e->setDate(text);
    EXPECT_EQ(dateOf(*e), before);
    StringBuffer field;
    EXPECT_TRUE(e->getHeaderField("Date", field));
    EXPECT_EQ(str(field), text);
    delete e;

    const std::string mime = std::string("Date: ") + text + "\r\nSubject: s\r\n\r\nbody\r\n";
    LogNull log;
    Email2* loaded = Email2::createFromMime(mime.data(), static_cast<uint32_t>(mime.size()), log);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(dateOf(*loaded), "0000-00-00 00:00");
    delete loaded;
}

}  // namespace
