// The millisecond tick count, sleeping, and wrap-safe tick arithmetic.
//
// Thread safety: all functions may be called from any thread.
//
// Contract:
// - GetTickCount(): milliseconds of CLOCK_MONOTONIC (time since boot, not
//   changed by clock adjustments), cut to 32 bits: it wraps to 0 after about
//   49.7 days. Compare ticks only with TickDiff and TickReached.
// - Sleep(ms): at least ms milliseconds; Sleep(0) only gives up the rest of
//   the time slice; Sleep(INFINITE) never returns.
// - Code that should be testable without real time takes an IClock (Clock.h)
//   and is handed SystemClock() in production.
#pragma once

#include "platform/kernel/Clock.h"
#include "platform/kernel/WinTypes.h"

DWORD GetTickCount();
void Sleep(DWORD ms);

// Milliseconds from earlier to later, across a wrap of the counter (valid
// while the true distance is below 2^32 ms).
constexpr DWORD TickDiff(DWORD later, DWORD earlier) {
    return later - earlier;
}

// True when now is at or past deadline, judged by the signed 32-bit
// difference: a deadline up to about 24.8 days ahead of or behind now is
// ordered correctly across a wrap.
constexpr bool TickReached(DWORD now, DWORD deadline) {
    return static_cast<LONG>(static_cast<DWORD>(now - deadline)) >= 0;
}
