#include "platform/kernel/Event.h"
#include "platform/kernel/FileMapping.h"
#include "platform/kernel/Mutex.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/WaitFunctions.h"
#include "tests/platform/kernel/ForkChild.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <vector>

using kerneltest::ForkChild;
using kerneltest::Pipe;
using kerneltest::WaitChild;

namespace {

class NamedMutexTest : public ::testing::Test {
protected:
    void TearDown() override { UnlinkAllNamedObjects(); }
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(NamedMutexTest, HolderProcessThatDiesLeavesItAbandoned) {
    CHandle m(CreateMutex(nullptr, FALSE, "StatusMutex"));
    ASSERT_TRUE(m);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    Pipe taken;
    pid_t child = ForkChild([&] {
        HANDLE h = CreateMutex(nullptr, TRUE, "StatusMutex");
        if (h == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
            return 1;
        }
        if (WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) {
            return 2;
        }
        taken.Send('t');
        return 0;  // ends without ReleaseMutex
    });
    ASSERT_EQ(taken.Receive(), 't');
    ASSERT_EQ(WaitChild(child), 0);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 5000), WAIT_ABANDONED);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0) << "owner may wait again";
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_FALSE(ReleaseMutex(m.Get()));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0) << "consistent again";
    EXPECT_TRUE(ReleaseMutex(m.Get()));
}

TEST_F(NamedMutexTest, HeldByAnotherProcessTimesOutAndLosesToAnEventInAMultiWait) {
    Pipe taken, done;
    pid_t child = ForkChild([&] {
        HANDLE h = CreateMutex(nullptr, TRUE, "Busy");
        if (h == nullptr || GetLastError() != ERROR_SUCCESS) {
            return 1;
        }
        taken.Send('t');
        done.Receive();
        return ReleaseMutex(h) ? 0 : 3;
    });
    ASSERT_EQ(taken.Receive(), 't');
    CHandle m(CreateMutex(nullptr, TRUE, "Busy"));
    ASSERT_TRUE(m);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(ReleaseMutex(m.Get())) << "initial ownership only for the creator";
    EXPECT_EQ(WaitForSingleObject(m.Get(), 20), WAIT_TIMEOUT);
    CHandle ev(CreateEvent(nullptr, TRUE, TRUE, nullptr));
    HANDLE list[] = {m.Get(), ev.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, 1000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 20), WAIT_TIMEOUT);
    done.Send('d');
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m.Get()));
    EXPECT_EQ(WaitChild(child), 0);
}

TEST_F(NamedMutexTest, ProcessesCreatingAtOnceGetExactlyOneCreator) {
    constexpr int kChildren = 6;
    Pipe results;
    std::vector<pid_t> children;
    for (int i = 0; i < kChildren; ++i) {
        children.push_back(ForkChild([&] {
            HANDLE h = CreateMutex(nullptr, TRUE, "Race");
            if (h == nullptr) {
                return 1;
            }
            bool created = GetLastError() == ERROR_SUCCESS;
            // Only the creator owns it; everyone can then take it in turn.
            if (created && !ReleaseMutex(h)) {
                return 2;
            }
            if (WaitForSingleObject(h, 10000) != WAIT_OBJECT_0 || !ReleaseMutex(h)) {
                return 3;
            }
            results.Send(created ? 'c' : 'o');
            return 0;
        }));
    }
    int creators = 0;
    for (int i = 0; i < kChildren; ++i) {
        char c = results.Receive();
        EXPECT_NE(c, 0);
        creators += c == 'c';
    }
    for (pid_t pid : children) {
        EXPECT_EQ(WaitChild(pid), 0);
    }
    EXPECT_EQ(creators, 1);
}

TEST_F(NamedMutexTest, NamesAreOneNamespaceWithMappingsAndOpenNeedsAnExistingOne) {
    EXPECT_EQ(OpenMutex(SYNCHRONIZE, FALSE, "Nobody"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CHandle mapping(
        CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "Shared"));
    ASSERT_TRUE(mapping);
    EXPECT_EQ(CreateMutex(nullptr, FALSE, "Shared"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CHandle m(CreateMutex(nullptr, FALSE, "SharedMutex"));
    ASSERT_TRUE(m);
    EXPECT_EQ(
        CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 56, "SharedMutex"),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CHandle again(OpenMutex(SYNCHRONIZE, FALSE, "SharedMutex"));
    ASSERT_TRUE(again);
    EXPECT_EQ(WaitForSingleObject(m.Get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(again.Get())) << "two handles, one mutex";
    EXPECT_TRUE(UnlinkNamedObject("SharedMutex"));
    EXPECT_FALSE(UnlinkNamedObject("SharedMutex"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
