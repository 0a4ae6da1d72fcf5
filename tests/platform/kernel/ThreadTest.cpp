#include "platform/kernel/Event.h"
#include "platform/kernel/Thread.h"
#include "platform/kernel/WaitFunctions.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <stdexcept>
#include <string>

namespace {

TEST(ThreadTest, StillActiveUntilTheBodyReturnsThenItsCodeAndSignalled) {
    CHandle go(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    std::string name;
    CThread t;
    ASSERT_TRUE(t.Start(
        [&]() -> DWORD {
            char buf[32] = {};
            pthread_getname_np(pthread_self(), buf, sizeof buf);
            name = buf;
            WaitForSingleObject(go.Get(), INFINITE);
            return 42;
        },
        "tms-status-1-and-more"));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t.Handle(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t.Handle(), 20), WAIT_TIMEOUT);
    SetEvent(go.Get());
    EXPECT_EQ(WaitForSingleObject(t.Handle(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t.Handle(), 0), WAIT_OBJECT_0) << "a thread stays signalled";
    ASSERT_TRUE(GetExitCodeThread(t.Handle(), &code));
    EXPECT_EQ(code, 42u);
    t.Join();
    EXPECT_EQ(name, "tms-status-1-an") << "cut to the 15 bytes the system allows";
}

TEST(ThreadTest, EscapingExceptionBecomesTheExitCode) {
    struct Row {
        const char* name;
        void (*raise)();
    } rows[] = {{"std::exception", [] { throw std::runtime_error("boom"); }},
                {"other", [] { throw 7; }}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CThread t;
        ASSERT_TRUE(t.Start(
            [&]() -> DWORD {
                row.raise();
                return 0;
            },
            "tms-test-throw"));
        t.Join();
        EXPECT_EQ(t.GetExitCode(), THREAD_EXIT_UNHANDLED_EXCEPTION);
    }
}

TEST(ThreadTest, PriorityLevelsAndRefusals) {
    CHandle stop(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    CThread t;
    ASSERT_TRUE(
        t.Start([&] { return WaitForSingleObject(stop.Get(), INFINITE); }, "tms-test-prio"));
    // Lowering is always allowed.
    EXPECT_TRUE(SetThreadPriority(t.Handle(), THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(GetThreadPriority(t.Handle()), THREAD_PRIORITY_BELOW_NORMAL);
    // Raising may be refused without privileges; then nothing changes.
    if (t.SetPriority(THREAD_PRIORITY_ABOVE_NORMAL)) {
        EXPECT_EQ(t.GetPriority(), THREAD_PRIORITY_ABOVE_NORMAL);
    } else {
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(t.GetPriority(), THREAD_PRIORITY_BELOW_NORMAL);
    }
    int before = t.GetPriority();
    EXPECT_FALSE(t.SetPriority(7));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(t.GetPriority(), before);
    EXPECT_EQ(t.GetExitCode(), STILL_ACTIVE) << "a refused priority never harms the thread";

    EXPECT_FALSE(t.Start([] { return 0u; }, "tms-again"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetEvent(stop.Get());
    t.Join();
    EXPECT_EQ(t.GetExitCode(), WAIT_OBJECT_0);

    CHandle ev(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(ev.Get(), &code)) << "an event is not a thread";
    EXPECT_EQ(GetThreadPriority(ev.Get()), THREAD_PRIORITY_ERROR_RETURN);
}

}  // namespace
