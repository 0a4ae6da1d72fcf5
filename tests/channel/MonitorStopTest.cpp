// How Close ends the status monitor: a Stop wakes a monitor asleep to a
// far deadline at once, a Stop made before the sleep is not lost, and Reset
// lets the next monitor sleep to its deadlines again.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "tmschannel/channel/MonitorStop.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(MonitorStopTest, AStopWakesAMonitorAsleepToAFarDeadline) {
    CMonitorStop stop;
    std::promise<void> asleep;
    auto woken = std::async(std::launch::async, [&] {
        asleep.set_value();
        return stop.WaitUntil(Clock::now() + 1h);
    });
    asleep.get_future().wait();
    stop.Stop();
    // Bounded for a loaded machine: without the wake this would be an hour.
    ASSERT_EQ(woken.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(woken.get());
}

TEST(MonitorStopTest, AStopBeforeTheSleepIsNotLost) {
    CMonitorStop stop;
    stop.Stop();
    EXPECT_TRUE(stop.WaitUntil(Clock::now() + 1h));
    EXPECT_TRUE(stop.WaitUntil(Clock::now() - 1s)) << "stopped wins over a passed deadline";
}

TEST(MonitorStopTest, AfterResetTheMonitorSleepsToItsDeadlineAgain) {
    CMonitorStop stop;
    stop.Stop();
    stop.Reset();
    EXPECT_FALSE(stop.WaitUntil(Clock::now() - 1s)) << "a passed deadline: the cycle is due";
    EXPECT_FALSE(stop.WaitUntil(Clock::now() + 1ms));
}

}  // namespace
