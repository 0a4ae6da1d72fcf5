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

}  // namespace
