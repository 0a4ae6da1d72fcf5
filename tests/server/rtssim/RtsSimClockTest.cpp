// The simulator in this process with its time base replaced: fields are
// counted from the clock, not from how often the clock is looked at.
#include <gtest/gtest.h>

#include "server/ipmclient/RtsShmem.h"
#include "server/rtssim/RtsSimulator.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

class CTestRtsSimClock : public IRtsSimClock {
public:
    double Seconds() override { return now; }
    double now = 1000.0;
};

TEST(RtsSimClockTest, TicksFollowTheClockAtTheFieldRate) {
    tmstest::TestRuntimeDir dir;
    CTestRtsSimClock clock;
    {
        RtsSimOptions options;
        options.configPath = TMS_SAMPLE_CONFIG;
        options.clock = &clock;
        options.runClockThread = false;
        CRtsSimulator sim(options);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;

        CRtsShmem shmem;
        ASSERT_TRUE(shmem.Open());
        // Channel 0 is 525-line: 59.94 fields a second; floor of elapsed x rate.
        struct Step {
            double seconds;
            unsigned ticks;
        } steps[] = {{0.0, 0},  {0.0166, 0}, {0.0167, 1}, {1.0, 59},
                     {1.0, 59}, {10.0, 599}, {60.0, 3596}};
        for (const Step& s : steps) {
            SCOPED_TRACE(s.seconds);
            clock.now = 1000.0 + s.seconds;
            sim.StepClock();
            sim.StepClock();  // looking again at the same time adds nothing
            unsigned ticks = 0;
            ASSERT_TRUE(shmem.GetTickCount(0, &ticks));
            EXPECT_EQ(ticks, s.ticks);
        }
        // A clock that steps back never takes ticks away.
        clock.now = 1000.0 + 5.0;
        sim.StepClock();
        unsigned ticks = 0;
        ASSERT_TRUE(shmem.GetTickCount(0, &ticks));
        EXPECT_EQ(ticks, 3596u);
        sim.Stop();
    }
    EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
}

}  // namespace
