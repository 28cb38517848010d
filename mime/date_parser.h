#pragma once
// RFC 822 dates: the "Date" value of a new message, and reading such
// values back.
#include <cstdint>

#include "text/string_buffer.h"

// A calendar time in UTC, laid out like the system time of the platform.
struct SystemTime {
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 = Sunday
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

class DateParser {
  public:
    // Appends the local time now, e.g. "Thu, 03 Dec 2026 23:30:31 -0500".
    // Names are English whatever the process locale is; the locale itself
    // is never touched.
    static void currentDateRfc822(StringBuffer& out);
    // The local time and offset given (for tests and the above).
    static void formatRfc822(int year, int month, int day, int weekday, int hour, int minute,
                             int second, int utcOffsetMinutes, StringBuffer& out);

    // Reads an RFC 822 date and converts it to UTC; false when the text is
    // not one.
    static bool parseRfc822Date(const char* text, SystemTime& out);
};
