#include "mime/date_parser.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "text/ascii.h"

namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// English, then the spellings of mailers that localise their month names.
const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                               "jul", "aug", "sep", "oct", "nov", "dec"};
const char* const kMonthsAlt[] = {"ian", "fev", "mar", "apr", "mai", "jun",
                                  "jul", "aug", "set", "okt", "nov", "dez"};

struct ZoneWord {
    const char* word;
    int minutes;  // signed offset from UTC
};
const ZoneWord kZones[] = {
    {"ut", 0},     {"gmt", 0},    {"est", -300}, {"edt", -240}, {"cst", -360},
    {"cdt", -300}, {"z", 0},      {"y", 720},    {"mst", -420}, {"mdt", -360},
    {"pst", -480}, {"pdt", -420}, {"a", -60},    {"m", -720},   {"n", 60},
};

bool isLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && isLeap(y)) ? 29 : kDays[m - 1];
}

int weekdayOf(int y, int m, int d) {
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

using text::isBlank;

void skipBlanks(const char*& p) {
    while (isBlank(*p)) ++p;
}

// A decimal number of at most 9 digits; false when none stands at p.
bool readNumber(const char*& p, int& value, int* digits = nullptr) {
    const char* s = p;
    long v = 0;
    while (*p >= '0' && *p <= '9' && p - s < 9) v = v * 10 + (*p++ - '0');
    if (p == s) return false;
    if (digits) *digits = static_cast<int>(p - s);
    value = static_cast<int>(v);
    return true;
}

int monthIndex(const char* word, size_t len) {
    if (len < 3) return -1;
    for (int i = 0; i < 12; ++i) {
        if (std::strncmp(word, kMonths[i], 3) == 0) return i;
    }
    for (int i = 0; i < 12; ++i) {
        if (std::strncmp(word, kMonthsAlt[i], 3) == 0) return i;
    }
    return -1;
}

// The zone at p as signed minutes east of UTC; a word we do not know is 0.
// Wide, since the text may hold any nine-digit number of hours: the caller
// refuses whatever lies a day or more away.
int64_t readZone(const char* p) {
    skipBlanks(p);
    if (!*p) return 0;
    int sign = 1;
    const char* q = p;
    if (*q == '+' || *q == '-') {
        sign = (*q == '-') ? -1 : 1;
        ++q;
    }
    if (*q >= '0' && *q <= '9') {
        int first = 0, digits = 0;
        readNumber(q, first, &digits);
        int hours = 0, minutes = 0;
        if (*q == ':') {
            ++q;
            int m = 0;
            if (readNumber(q, m)) minutes = m;
            hours = first;
        } else if (digits >= 3) {
            hours = first / 100;
            minutes = first % 100;
        } else {
            hours = first;
        }
        return sign * (static_cast<int64_t>(hours) * 60 + minutes);
    }
    const char* e = p;
    while (*e && !isBlank(*e)) ++e;
    size_t len = static_cast<size_t>(e - p);
    for (const ZoneWord& z : kZones) {
        if (std::strlen(z.word) == len && std::strncmp(p, z.word, len) == 0) return z.minutes;
    }
    return 0;
}

}  // namespace

void DateParser::formatRfc822(int year, int month, int day, int weekday, int hour, int minute,
                              int second, int utcOffsetMinutes, StringBuffer& out) {
    // The zone as Windows describes it: a bias in minutes, positive west.
    int bias = -utcOffsetMinutes;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%+.2d%.2d", -(bias / 60), std::abs(bias) % 60);
    char text[160];
    std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d %s",
                  kDayNames[((weekday % 7) + 7) % 7], day, kMonthNames[(month + 11) % 12], year,
                  hour, minute, second, zone);
    out.append(text);
}

void DateParser::currentDateRfc822(StringBuffer& out) {
    platform::LocalTime t = platform::localTimeNow();
    formatRfc822(t.year, t.month, t.day, t.weekday, t.hour, t.minute, t.second, t.utcOffsetMinutes,
                 out);
}

bool DateParser::parseRfc822Date(const char* text, SystemTime& out) {
    if (!text) return false;
    StringBuffer lowered(text);
    lowered.toLowerCase();
    const char* p = lowered.getString();
    skipBlanks(p);
    if (!*p) return false;

    static const char* const kDays[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    for (const char* d : kDays) {
        if (std::strncmp(p, d, 3) == 0) {
            while ((*p >= 'a' && *p <= 'z')) ++p;
            skipBlanks(p);
            if (*p == ',') ++p;
            skipBlanks(p);
            break;
        }
    }

    int day = 0, year = 0;
    if (!readNumber(p, day)) return false;
    skipBlanks(p);
    const char* word = p;
    while (*p && !isBlank(*p)) ++p;
    int month = monthIndex(word, static_cast<size_t>(p - word)) + 1;
    if (month == 0) return false;
    skipBlanks(p);
    if (!readNumber(p, year)) return false;
    if (year < 1900) year += (year < 50) ? 2000 : 1900;
    skipBlanks(p);

    int hour = 0, minute = 0, second = 0;
    if (!readNumber(p, hour) || *p != ':') return false;
    ++p;
    if (!readNumber(p, minute)) return false;
    if (*p == ':') {
        ++p;
        if (!readNumber(p, second)) return false;
    }
    if (year > 9999 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 60)
        return false;

    const int64_t zone = readZone(p);
    if (zone <= -1440 || zone >= 1440) return false;
    int minutes = hour * 60 + minute - static_cast<int>(zone);
    if (minutes < 0) {
        minutes += 1440;
        if (--day < 1) {
            if (--month < 1) {
                month = 12;
                --year;
            }
            day = daysInMonth(year, month);
        }
    } else if (minutes >= 1440) {
        minutes -= 1440;
        if (++day > daysInMonth(year, month)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    out.year = static_cast<uint16_t>(year);
    out.month = static_cast<uint16_t>(month);
    out.day = static_cast<uint16_t>(day);
    out.dayOfWeek = static_cast<uint16_t>(weekdayOf(year, month, day));
    out.hour = static_cast<uint16_t>(minutes / 60);
    out.minute = static_cast<uint16_t>(minutes % 60);
    out.second = static_cast<uint16_t>(second);
    out.milliseconds = 0;
    return true;
}
