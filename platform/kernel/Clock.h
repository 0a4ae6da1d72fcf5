// The seam through which time-dependent code reads the tick count, sleeps
// and waits with a time-out, so that tests can run a 60-second time-out in
// milliseconds (CTestClock, TestClock.h).
//
// Thread safety: SystemClock() is shared by every thread and stateless. An
// implementation must allow calls from several threads at once.
#pragma once

#include "platform/kernel/Handle.h"
#include "platform/kernel/WinTypes.h"

class IClock {
public:
    virtual ~IClock() = default;

    // As GetTickCount().
    virtual DWORD TickCount() = 0;
    // As Sleep(ms).
    virtual void SleepMs(DWORD ms) = 0;
    // As WaitForMultipleObjects; WaitForOne is the one-handle case.
    virtual DWORD WaitFor(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) = 0;
    DWORD WaitForOne(HANDLE handle, DWORD ms) { return WaitFor(1, &handle, FALSE, ms); }
};

// The real clock: GetTickCount, Sleep and the wait functions.
IClock& SystemClock();
