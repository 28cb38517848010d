// RFC 822 dates, as "Date" fields are read.
// Input: the date text.
// Oracle: no crash, out-of-bounds read or undefined behaviour (signed
// overflow included); a date that parses is a real UTC time (month 1-12, a
// day the month has, hour below 24, minute below 60, second at most 60, the
// weekday of that date); such a time, formatted as this library writes
// dates, parses back to the same time.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mime/date_parser.h"

namespace {

int daysIn(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return (m == 2 && leap) ? 29 : kDays[m - 1];
}

// Sakamoto's method, independent of the parser's own.
int weekday(int y, int m, int d) {
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

bool same(const SystemTime& a, const SystemTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second && a.dayOfWeek == b.dayOfWeek;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string text =
        fuzzsupport::cText(std::string(reinterpret_cast<const char*>(data), size));
    SystemTime t;
    if (!DateParser::parseRfc822Date(text.c_str(), t)) return 0;

    FUZZ_CHECK(t.month >= 1 && t.month <= 12, "month out of range");
    FUZZ_CHECK(t.day >= 1 && t.day <= daysIn(t.year, t.month), "day out of range");
    FUZZ_CHECK(t.hour < 24 && t.minute < 60 && t.second <= 60, "time of day out of range");
    FUZZ_CHECK(t.milliseconds == 0, "milliseconds set");
    FUZZ_CHECK(t.dayOfWeek == weekday(t.year, t.month, t.day), "wrong weekday");

    // Years the text form carries unambiguously (a year below 1900 is read
    // as a two-digit one).
    if (t.year >= 1900 && t.year <= 9999) {
        StringBuffer formatted;
        DateParser::formatRfc822(t.year, t.month, t.day, t.dayOfWeek, t.hour, t.minute, t.second, 0,
                                 formatted);
        SystemTime back;
        FUZZ_CHECK(DateParser::parseRfc822Date(formatted.getString(), back),
                   "a formatted date does not parse");
        FUZZ_CHECK(same(t, back), "a formatted date parses to another time");
    }
    return 0;
}
