// The local wall-clock time, split into fields.
//
// Thread safety: GetLocalTime may be called from any thread.
#pragma once

#include "platform/kernel/WinTypes.h"

// wMonth 1-12, wDayOfWeek 0 (Sunday) to 6, wDay 1-31, wMilliseconds 0-999.
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// The current time in the process's time zone ($TZ or the system's).
void GetLocalTime(SYSTEMTIME* time);
