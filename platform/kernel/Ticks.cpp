#include "platform/kernel/Ticks.h"

#include "platform/kernel/WaitFunctions.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

DWORD GetTickCount() {
    // The coarse clock is as fine as a tick count needs (a few ms) and costs a
    // fraction of the precise one; every operation's trace reads it.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
              static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    if (ms == INFINITE) {
        for (;;) {
            ::pause();
        }
    }
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

class CSystemClock : public IClock {
public:
    DWORD TickCount() override { return GetTickCount(); }
    void SleepMs(DWORD ms) override { Sleep(ms); }
    DWORD WaitFor(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) override {
        return WaitForMultipleObjects(count, handles, waitAll, ms);
    }
};

}  // namespace

IClock& SystemClock() {
    static CSystemClock clock;
    return clock;
}
