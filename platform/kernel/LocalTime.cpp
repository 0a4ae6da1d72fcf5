#include "platform/kernel/LocalTime.h"

#include <time.h>

#include <cstring>

void GetLocalTime(SYSTEMTIME* out) {
    if (out == nullptr) {
        return;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    time_t seconds = ts.tv_sec;
    localtime_r(&seconds, &tm);
    out->wYear = static_cast<WORD>(tm.tm_year + 1900);
    out->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    out->wDay = static_cast<WORD>(tm.tm_mday);
    out->wHour = static_cast<WORD>(tm.tm_hour);
    out->wMinute = static_cast<WORD>(tm.tm_min);
    // A leap second reads as second 59 of that minute.
    out->wSecond = static_cast<WORD>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
    out->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000L);
}
