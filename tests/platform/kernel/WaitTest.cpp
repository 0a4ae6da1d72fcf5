#include "platform/kernel/Event.h"
#include "platform/kernel/FileMapping.h"
#include "platform/kernel/Mutex.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/Thread.h"
#include "platform/kernel/WaitFunctions.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

class WaitTest : public ::testing::Test {
protected:
    void TearDown() override { UnlinkAllNamedObjects(); }
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(WaitTest, ManualResetStaysSignalledAutoResetIsConsumed) {
    struct Row {
        const char* name;
        BOOL manual;
        DWORD secondWait;
    } rows[] = {{"manual", TRUE, WAIT_OBJECT_0}, {"auto", FALSE, WAIT_TIMEOUT}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CHandle ev(CreateEvent(nullptr, row.manual, FALSE, nullptr));
        ASSERT_TRUE(ev);
        EXPECT_EQ(WaitForSingleObject(ev.Get(), 0), WAIT_TIMEOUT);
        ASSERT_TRUE(SetEvent(ev.Get()));
        EXPECT_EQ(WaitForSingleObject(ev.Get(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(ev.Get(), 0), row.secondWait);
        ASSERT_TRUE(ResetEvent(ev.Get()));
        EXPECT_EQ(WaitForSingleObject(ev.Get(), 10), WAIT_TIMEOUT);
    }
}

TEST_F(WaitTest, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    CHandle a(CreateEvent(nullptr, FALSE, FALSE, nullptr));
    CHandle b(CreateEvent(nullptr, FALSE, FALSE, nullptr));
    CHandle c(CreateEvent(nullptr, FALSE, FALSE, nullptr));
    HANDLE list[] = {a.Get(), b.Get(), c.Get()};
    SetEvent(c.Get());
    SetEvent(b.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_TIMEOUT);
}

TEST_F(WaitTest, WaitAllTakesNothingUntilAllAreSignalled) {
    CHandle a(CreateEvent(nullptr, FALSE, TRUE, nullptr));
    CHandle b(CreateEvent(nullptr, FALSE, FALSE, nullptr));
    HANDLE list[] = {a.Get(), b.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 10), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(a.Get(), 0), WAIT_OBJECT_0) << "a was consumed by a failed wait";
    SetEvent(a.Get());
    CThread setter;
    ASSERT_TRUE(setter.Start([&] { return SetEvent(b.Get()) ? 0u : 1u; }, "tms-test-set"));
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, 0), WAIT_TIMEOUT);
}

TEST_F(WaitTest, AutoResetReleasesExactlyOneOfTwoWaiters) {
    CHandle ev(CreateEvent(nullptr, FALSE, FALSE, nullptr));
    std::atomic<int> released{0};
    auto body = [&] {
        DWORD r = WaitForSingleObject(ev.Get(), INFINITE);
        released.fetch_add(1);
        return r;
    };
    CThread t1, t2;
    ASSERT_TRUE(t1.Start(body, "tms-test-w1"));
    ASSERT_TRUE(t2.Start(body, "tms-test-w2"));
    HANDLE threads[] = {t1.Handle(), t2.Handle()};
    SetEvent(ev.Get());
    DWORD first = WaitForMultipleObjects(2, threads, FALSE, INFINITE);
    ASSERT_LT(first, 2u);
    // The other one cannot get past its wait until the event is set again.
    EXPECT_EQ(WaitForSingleObject(threads[1 - first], 50), WAIT_TIMEOUT);
    EXPECT_EQ(released.load(), 1);
    SetEvent(ev.Get());
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(t1.GetExitCode(), WAIT_OBJECT_0);
}

TEST_F(WaitTest, BadArgumentsFailWithTheirError) {
    CHandle ev(CreateEvent(nullptr, TRUE, TRUE, nullptr));
    CHandle mapping(
        CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    HANDLE closed = CreateEvent(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, ev.Get());
    HANDLE dup[] = {ev.Get(), ev.Get()};
    HANDLE withNull[] = {ev.Get(), nullptr};
    HANDLE invalid = INVALID_HANDLE_VALUE;
    HANDLE notWaitable = mapping.Get();
    struct Row {
        const char* name;
        DWORD count;
        const HANDLE* handles;
        BOOL all;
        DWORD error;
    } rows[] = {
        {"null handle", 2, withNull, FALSE, ERROR_INVALID_HANDLE},
        {"closed handle", 1, &closed, FALSE, ERROR_INVALID_HANDLE},
        {"INVALID_HANDLE_VALUE", 1, &invalid, FALSE, ERROR_INVALID_HANDLE},
        {"not waitable", 1, &notWaitable, FALSE, ERROR_INVALID_HANDLE},
        {"count 0", 0, dup, FALSE, ERROR_INVALID_PARAMETER},
        {"count 65", MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, ERROR_INVALID_PARAMETER},
        {"null array", 1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
        {"same object twice, all", 2, dup, TRUE, ERROR_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForMultipleObjects(row.count, row.handles, row.all, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), row.error);
    }
    EXPECT_EQ(WaitForMultipleObjects(2, dup, FALSE, 0), WAIT_OBJECT_0)
        << "allowed when waiting for any";
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(mapping.Get()));
}

TEST_F(WaitTest, ProcessMutexIsRecursiveOwnedAndAbandonedByADeadThread) {
    CHandle m(CreateMutex(nullptr, TRUE, nullptr));
    ASSERT_TRUE(m);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0) << "owner waits again";
    CThread other;
    ASSERT_TRUE(other.Start(
        [&] {
            DWORD r = WaitForSingleObject(m.Get(), 0);
            return ReleaseMutex(m.Get()) ? 100 + r : GetLastError();
        },
        "tms-test-mx"));
    other.Join();
    EXPECT_EQ(other.GetExitCode(), ERROR_NOT_OWNER) << "held twice: busy for others";
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_FALSE(ReleaseMutex(m.Get()));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

    CThread dies;
    ASSERT_TRUE(dies.Start([&] { return WaitForSingleObject(m.Get(), 0); }, "tms-test-die"));
    dies.Join();
    EXPECT_EQ(dies.GetExitCode(), WAIT_OBJECT_0);
    CHandle ev(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    HANDLE list[] = {ev.Get(), m.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, 0), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0) << "usable as before";
    EXPECT_TRUE(ReleaseMutex(m.Get()));
}

}  // namespace
