#include "platform/kernel/PrivateFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kernel/FileMapping.h"
#include "platform/kernel/Handle.h"
#include "platform/kernel/Mutex.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/RuntimeDir.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

// Sets the process's umask for a scope.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : m_previous(::umask(mask)) {}
    ~UmaskScope() { ::umask(m_previous); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    mode_t m_previous;
};

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

std::string Octal(unsigned mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode);
    return text;
}

// The runtime folder was made 0755 under the default umask and 0777 under
// umask 000, its files 0644: other users could read the logs, the registry
// and the movies. A umask that takes owner bits away must not lock the
// owner out either.
TEST(PrivateFilesTest, FoldersAndFilesWereReadableByOthersUnderAWideUmask) {
    tmstest::TestRuntimeDir dir;
    const mode_t masks[] = {0000, 0022, 0077, 0277};
    int round = 0;
    for (const mode_t mask : masks) {
        SCOPED_TRACE("umask " + Octal(mask));
        const std::string base = dir.Path() + "/r" + std::to_string(round++);
        UmaskScope umaskScope(mask);
        ASSERT_TRUE(MakePrivateFolders(base + "/a/b"));
        for (const char* folder : {"", "/a", "/a/b"}) {
            EXPECT_EQ(Octal(ModeOf(base + folder)), "0700") << folder;
        }
        const int fd = OpenPrivateFile(base + "/a/b/file", O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
        EXPECT_EQ(Octal(ModeOf(base + "/a/b/file")), "0600");
        // The runtime folder itself and the folders RuntimePath makes.
        ::setenv("TMS_RUNTIME_DIR", (base + "/runtime").c_str(), 1);
        const std::string log = RuntimePath("log/x.log");
        EXPECT_EQ(Octal(ModeOf(base + "/runtime")), "0700");
        EXPECT_EQ(Octal(ModeOf(base + "/runtime/log")), "0700");
        EXPECT_EQ(log, base + "/runtime/log/x.log");
        ::setenv("TMS_RUNTIME_DIR", dir.Path().c_str(), 1);
    }
}

TEST(PrivateFilesTest, WhatExistsKeepsItsModeAndExclusiveCreateStillFails) {
    tmstest::TestRuntimeDir dir;
    UmaskScope umaskScope(0);
    const std::string shared = dir.Path() + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0750), 0);
    const std::string file = shared + "/file";
    const int made = ::open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(made, 0);
    ::close(made);

    // An operator's choice for an existing folder or file is not undone.
    EXPECT_TRUE(MakePrivateFolders(shared));
    EXPECT_EQ(Octal(ModeOf(shared)), "0750");
    const int fd = OpenPrivateFile(file, O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(Octal(ModeOf(file)), "0644");

    errno = 0;
    EXPECT_EQ(OpenPrivateFile(file, O_WRONLY | O_EXCL), -1);
    EXPECT_EQ(errno, EEXIST);
    // A file where a folder is wanted is no folder.
    EXPECT_FALSE(MakePrivateFolders(file + "/below"));
}

// Named objects live in /dev/shm, where the umask narrowed their 0600: under
// umask 0277 they were made 0400, and the user's next process could not open
// them for writing.
TEST(PrivateFilesTest, NamedObjectsWereNarrowedByTheUmask) {
    tmstest::TestRuntimeDir dir;
    UmaskScope umaskScope(0277);
    CHandle mutex(CreateMutex(nullptr, FALSE, "PrivateMutex"));
    CHandle mapping(
        CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "PrivateMap"));
    ASSERT_TRUE(mutex);
    ASSERT_TRUE(mapping);
    for (const char* name : {"PrivateMutex", "PrivateMap"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Octal(ModeOf("/dev/shm" + RuntimeObjectName(name))), "0600");
    }
    // The test stands for the server here: what it made goes with it.
    EXPECT_EQ(UnlinkAllNamedObjects(), 2u);
}

}  // namespace
