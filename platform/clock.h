#pragma once
#include <cstdint>

namespace platform {

// Milliseconds from an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t tickCount();

void sleepMs(uint32_t ms);

// Broken-down local time with the zone's offset from UTC.
struct LocalTime {
    int year;        // e.g. 2026
    int month;       // 1..12
    int day;         // 1..31
    int weekday;     // 0 = Sunday
    int hour;
    int minute;
    int second;
    int utcOffsetMinutes;  // local time minus UTC, e.g. +60 for CET
};

LocalTime localTimeNow();

}  // namespace platform
