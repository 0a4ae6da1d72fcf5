// The futex flags of a request/answer hand-over: what a wait takes and
// leaves, time-outs, and (under ThreadSanitizer too) that no raise is lost
// or taken twice and that what the raiser wrote is seen by the waiter.
// Every wait is bounded; nothing asserts on elapsed time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/kernel/SignalFlags.h"

namespace {

constexpr std::uint32_t kA = 1;
constexpr std::uint32_t kB = 2;
constexpr std::uint32_t kC = 4;
// Long enough for any loaded machine; a hand-over that needs it has failed.
constexpr DWORD kBoundMs = 30000;

TEST(SignalFlagsTest, AWaitTakesOnlyTheRaisedFlagsItWasToldTo) {
    struct Row {
        const char* name;
        std::uint32_t raised, any, take;
        std::uint32_t returned, left;
    } rows[] = {
        {"auto reset taken", kA, kA, kA, kA, 0},
        {"sticky stays", kB, kB, 0, kB, kB},
        {"either: the request taken, the shutdown kept", kA | kB, kA | kB, kA, kA | kB, kB},
        {"a flag not waited for is neither returned nor taken", kA | kC, kA, kA | kC, kA, kC},
        {"nothing raised: test only", 0, kA, kA, 0, 0},
        {"another flag raised: test only", kC, kA | kB, kA | kB, 0, kC},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CSignalFlags flags;
        flags.Raise(row.raised);
        EXPECT_EQ(flags.Wait(row.any, row.take, 0), row.returned);
        EXPECT_EQ(flags.Peek(), row.left);
    }
}

TEST(SignalFlagsTest, AWaitTimesOutWithNothingAndClearLowersFlags) {
    CSignalFlags flags;
    EXPECT_EQ(flags.Wait(kA, kA, 20), 0u) << "nobody raised it";
    flags.Raise(kA | kB);
    flags.Clear(kA);
    EXPECT_EQ(flags.Wait(kA, kA, 20), 0u) << "cleared before the wait";
    EXPECT_EQ(flags.Wait(kB, kB, 20), kB);
}

TEST(SignalFlagsTest, ARaiseWakesAThreadAsleepInAnInfiniteWait) {
    CSignalFlags flags;
    std::uint32_t got = 0;
    std::thread waiter([&] { got = flags.Wait(kA | kB, kA, INFINITE); });
    flags.Raise(kB);
    waiter.join();
    EXPECT_EQ(got, kB);
}

// Request and answer in turn, as the RTS connection hands them over; the
// payload is plain memory, ordered only by the flags. A lost wake-up ends a
// wait at the bound and fails the count.
TEST(SignalFlagsConcurrencyTest, PingPongLosesNoHandOverAndPublishesThePayload) {
    constexpr int kTurns = 20000;
    CSignalFlags toThread, toSender;
    int payload = 0;
    int answered = 0;
    std::atomic<int> lost{0};
    std::thread thread([&] {
        for (;;) {
            const std::uint32_t got = toThread.Wait(kA | kB, kA, kBoundMs);
            if (got == 0) {
                ++lost;
                return;
            }
            if ((got & kB) != 0) {
                return;
            }
            answered = payload + 1;
            toSender.Raise(kA);
        }
    });
    int good = 0;
    for (int i = 0; i < kTurns; ++i) {
        payload = i;
        toThread.Raise(kA);
        if (toSender.Wait(kA, kA, kBoundMs) == 0) {
            ++lost;
            break;
        }
        good += answered == i + 1 ? 1 : 0;
    }
    toThread.Raise(kB);
    thread.join();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(good, kTurns);
}

// An auto-reset flag goes to exactly one of several waiters.
TEST(SignalFlagsConcurrencyTest, EachRaiseOfATakenFlagGoesToExactlyOneWaiter) {
    constexpr int kRaises = 2000;
    constexpr int kWaiters = 4;
    CSignalFlags flags, done;
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&] {
            for (;;) {
                const std::uint32_t got = flags.Wait(kA | kB, kA, kBoundMs);
                if (got == 0 || (got & kB) != 0) {
                    return;
                }
                ++taken;
                done.Raise(kA);
            }
        });
    }
    int confirmed = 0;
    for (int i = 0; i < kRaises; ++i) {
        flags.Raise(kA);
        confirmed += done.Wait(kA, kA, kBoundMs) != 0 ? 1 : 0;
    }
    flags.Raise(kB);
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(confirmed, kRaises);
    EXPECT_EQ(taken.load(), kRaises);
}

}  // namespace
