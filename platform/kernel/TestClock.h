// A clock for tests: the tick count moves only when the test advances it, or
// when the code under test sleeps or times out a wait.
//
// Thread safety: all members may be called from any thread; the tick count is
// atomic.
//
// - SleepMs(ms) advances the count by ms and returns at once (after giving up
//   the time slice, so other threads run).
// - WaitFor(...) first waits for real, for at most the real-wait limit (0 by
//   default: only a test); when nothing was signalled and ms is not INFINITE,
//   it advances the count by ms and returns WAIT_TIMEOUT. INFINITE waits for
//   real without limit.
#pragma once

#include "platform/kernel/Clock.h"
#include "platform/kernel/WaitFunctions.h"

#include <atomic>
#include <thread>

class CTestClock : public IClock {
public:
    explicit CTestClock(DWORD start = 0) : m_ticks(start) {}

    DWORD TickCount() override { return m_ticks.load(); }

    void SleepMs(DWORD ms) override {
        m_slept.fetch_add(ms);
        Advance(ms);
        std::this_thread::yield();
    }

    DWORD WaitFor(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) override {
        DWORD limit = m_realWaitLimit.load();
        DWORD real = ms == INFINITE ? INFINITE : (ms < limit ? ms : limit);
        DWORD result = WaitForMultipleObjects(count, handles, waitAll, real);
        if (result == WAIT_TIMEOUT && ms != INFINITE) {
            Advance(ms);
        }
        return result;
    }

    void Advance(DWORD ms) { m_ticks.fetch_add(ms); }
    void Set(DWORD ticks) { m_ticks.store(ticks); }
    // The longest real wait WaitFor makes before it pretends the time-out
    // passed.
    void SetRealWaitLimit(DWORD ms) { m_realWaitLimit.store(ms); }
    // Milliseconds slept through SleepMs so far.
    DWORD Slept() const { return m_slept.load(); }

private:
    std::atomic<DWORD> m_ticks;
    std::atomic<DWORD> m_slept{0};
    std::atomic<DWORD> m_realWaitLimit{0};
};
