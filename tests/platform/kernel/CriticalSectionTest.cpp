#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// Whether another thread can enter cs right now.
bool OtherThreadCanEnter(CCriticalSection& cs) {
    std::atomic<bool> entered{false};
    CThread t;
    t.Start(
        [&]() -> DWORD {
            if (cs.TryEnter()) {
                entered = true;
                cs.Leave();
            }
            return 0;
        },
        "tms-test-cs");
    t.Join();
    return entered;
}

// Enters twice and leaves one at a time, which the analysis cannot follow.
void CheckReentry() NO_THREAD_SAFETY_ANALYSIS {
    CCriticalSection cs;
    cs.Enter();
    ASSERT_TRUE(cs.TryEnter());
    EXPECT_TRUE(cs.HeldByCurrentThread());
    EXPECT_FALSE(OtherThreadCanEnter(cs));
    cs.Leave();
    EXPECT_FALSE(OtherThreadCanEnter(cs)) << "entered twice, left once";
    cs.Leave();
    EXPECT_FALSE(cs.HeldByCurrentThread());
    EXPECT_TRUE(OtherThreadCanEnter(cs));
}

TEST(CriticalSectionTest, ReentryNeedsAsManyLeavesBeforeOthersGetIn) {
    CheckReentry();
}

// The analysis does not model re-entry; this helper enters twice on purpose.
void AddOneReentering(CCriticalSection& cs, long& counter) NO_THREAD_SAFETY_ANALYSIS {
    CCriticalSectionLock outer(cs);
    CCriticalSectionLock inner(cs);
    long v = counter;
    counter = v + 1;
}

TEST(CriticalSectionTest, CountsStayExactUnderContention) {
    CCriticalSection cs;
    long counter = 0;
    auto body = [&]() -> DWORD {
        for (int i = 0; i < 50000; ++i) {
            AddOneReentering(cs, counter);
        }
        return 0;
    };
    {
        CThread a, b;
        ASSERT_TRUE(a.Start(body, "tms-test-a"));
        ASSERT_TRUE(b.Start(body, "tms-test-b"));
    }
    EXPECT_EQ(counter, 100000);
}

}  // namespace
