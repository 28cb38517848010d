#include "platform/clock.h"

#include <windows.h>

namespace platform {

uint32_t tickCount() {
    return GetTickCount();
}

void sleepMs(uint32_t ms) {
    Sleep(ms);
}

LocalTime systemLocalTimeNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    TIME_ZONE_INFORMATION tz;
    DWORD zone = GetTimeZoneInformation(&tz);
    LONG bias = 0;  // UTC minus local time, in minutes
    if (zone == TIME_ZONE_ID_DAYLIGHT)
        bias = tz.Bias + tz.DaylightBias;
    else if (zone != TIME_ZONE_ID_INVALID)
        bias = tz.Bias + tz.StandardBias;
    LocalTime lt;
    lt.year = st.wYear;
    lt.month = st.wMonth;
    lt.day = st.wDay;
    lt.weekday = st.wDayOfWeek;
    lt.hour = st.wHour;
    lt.minute = st.wMinute;
    lt.second = st.wSecond;
    lt.utcOffsetMinutes = -static_cast<int>(bias);
    return lt;
}

}  // namespace platform
