#pragma once
#include <cstdint>

namespace platform {

// Milliseconds from an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t tickCount();

void sleepMs(uint32_t ms);

// Broken-down local time with the zone's offset from UTC.
struct LocalTime {
    int year;     // e.g. 2026
    int month;    // 1..12
    int day;      // 1..31
    int weekday;  // 0 = Sunday
    int hour;
    int minute;
    int second;
    int utcOffsetMinutes;  // local time minus UTC, e.g. +60 for CET
};

// The local time now, or the time pinned with setLocalTimeForTesting.
LocalTime localTimeNow();
// What the operating system says, whatever is pinned.
LocalTime systemLocalTimeNow();
// Pins the time localTimeNow reports (the Date of new messages), so that a
// test can compare whole rendered messages; null unpins.
void setLocalTimeForTesting(const LocalTime* pinned);

}  // namespace platform
