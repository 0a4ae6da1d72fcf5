#include "platform/kernel/Event.h"
#include "platform/kernel/TestClock.h"
#include "platform/kernel/Ticks.h"

#include <gtest/gtest.h>

namespace {

TEST(TicksTest, DiffAndReachedAcrossTheWrap) {
    struct Row {
        DWORD now, then;
        DWORD diff;
        bool reached;
    } rows[] = {
        {5, 5, 0, true},
        {0x00000004u, 0xFFFFFFFEu, 6, true},             // now wrapped past the deadline
        {0xFFFFFFFEu, 0x00000004u, 0xFFFFFFFAu, false},  // deadline after the wrap
        {0xFFFFFFFFu, 0xFFFFFFFFu, 0, true},
        {0x00000000u, 0xFFFFFFFFu, 1, true},
        {0x7FFFFFFFu, 0x00000000u, 0x7FFFFFFFu, true},   // the farthest "past"
        {0x80000000u, 0x00000000u, 0x80000000u, false},  // half the range: reads as future
        {1000, 1020, 0xFFFFFFECu, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.now << " vs " << row.then);
        EXPECT_EQ(TickDiff(row.now, row.then), row.diff);
        EXPECT_EQ(TickReached(row.now, row.then), row.reached);
    }
    // A deadline 60 s ahead set just before the wrap is reached after it.
    DWORD start = 0xFFFFF000u;
    DWORD deadline = start + 60000;
    EXPECT_FALSE(TickReached(start + 59999, deadline));
    EXPECT_TRUE(TickReached(start + 60000, deadline));
}

}  // namespace
