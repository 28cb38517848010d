#include "platform/clock.h"

#include <time.h>

#include <chrono>
#include <thread>

namespace platform {

uint32_t tickCount() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

void sleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LocalTime systemLocalTimeNow() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    LocalTime lt;
    lt.year = t.tm_year + 1900;
    lt.month = t.tm_mon + 1;
    lt.day = t.tm_mday;
    lt.weekday = t.tm_wday;
    lt.hour = t.tm_hour;
    lt.minute = t.tm_min;
    lt.second = t.tm_sec;
    lt.utcOffsetMinutes = static_cast<int>(t.tm_gmtoff / 60);
    return lt;
}

}  // namespace platform
