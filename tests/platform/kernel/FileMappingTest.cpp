#include "platform/kernel/FileMapping.h"
#include "platform/kernel/NamedObjects.h"
#include "tests/platform/kernel/ForkChild.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <cstring>

using kerneltest::ForkChild;
using kerneltest::Pipe;
using kerneltest::WaitChild;

namespace {

class FileMappingTest : public ::testing::Test {
protected:
    void TearDown() override { UnlinkAllNamedObjects(); }
    tmstest::TestRuntimeDir m_dir;
};

HANDLE Create(DWORD size, const char* name) {
    return CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
}

TEST_F(FileMappingTest, CreatedOnceZeroFilledAndSharedAcrossFork) {
    constexpr DWORD kSize = 3 * 65536;
    CHandle mapping(Create(kSize, "Status"));
    ASSERT_TRUE(mapping);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    auto* view =
        static_cast<unsigned char*>(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    for (DWORD i = 0; i < kSize; i += 4093) {
        ASSERT_EQ(view[i], 0) << "byte " << i;
    }
    std::memcpy(view + 0x148C8, "parent", 7);

    Pipe written;
    pid_t child = ForkChild([&] {
        HANDLE h = Create(kSize, "Status");
        if (h == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
            return 1;
        }
        auto* v = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (v == nullptr || std::strcmp(v + 0x148C8, "parent") != 0) {
            return 2;
        }
        std::memcpy(v + kSize - 6, "child", 6);
        written.Send('w');
        return 0;
    });
    ASSERT_EQ(written.Receive(), 'w');
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(view + kSize - 6), "child");
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(UnmapViewOfFile(view));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
}

TEST_F(FileMappingTest, ExistingKeepsItsSizeOrGrowsNeverShrinks) {
    CHandle small(Create(4096, "Grow"));
    ASSERT_TRUE(small);
    auto* first = static_cast<char*>(MapViewOfFile(small.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(first, nullptr);
    first[10] = 'x';
    EXPECT_EQ(MapViewOfFile(small.Get(), FILE_MAP_ALL_ACCESS, 0, 65536, 0), nullptr);

    CHandle big(Create(2 * 65536, "Grow"));
    ASSERT_TRUE(big);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    auto* second = static_cast<char*>(MapViewOfFile(big.Get(), FILE_MAP_ALL_ACCESS, 0, 65536, 0));
    ASSERT_NE(second, nullptr) << "grown to the larger size";
    EXPECT_EQ(second[65535], 0);

    CHandle again(Create(100, "Grow"));
    auto* whole = static_cast<char*>(MapViewOfFile(again.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(whole[10], 'x');
    EXPECT_EQ(whole[2 * 65536 - 1], 0) << "a smaller request keeps the larger size";
    for (void* v :
         {static_cast<void*>(first), static_cast<void*>(second), static_cast<void*>(whole)}) {
        EXPECT_TRUE(UnmapViewOfFile(v));
    }
}

TEST_F(FileMappingTest, BadRequestsFailWithTheirError) {
    CHandle mapping(Create(65536 + 100, nullptr));
    ASSERT_TRUE(mapping);
    struct Row {
        const char* name;
        DWORD access, offset;
        std::size_t bytes;
        DWORD error;
    } rows[] = {
        {"offset not aligned", FILE_MAP_ALL_ACCESS, 4096, 0, ERROR_MAPPED_ALIGNMENT},
        {"past the end", FILE_MAP_ALL_ACCESS, 65536, 101, ERROR_INVALID_PARAMETER},
        {"offset at the end", FILE_MAP_ALL_ACCESS, 2 * 65536, 0, ERROR_INVALID_PARAMETER},
        {"no access", 0, 0, 0, ERROR_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(MapViewOfFile(mapping.Get(), row.access, 0, row.offset, row.bytes), nullptr);
        EXPECT_EQ(GetLastError(), row.error);
    }
    void* tail = MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 65536, 100);
    EXPECT_NE(tail, nullptr);
    UnmapViewOfFile(tail);

    EXPECT_EQ(Create(0, "Zero"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateFileMapping(mapping.Get(), nullptr, PAGE_READWRITE, 0, 10, "File"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(OpenFileMapping(FILE_MAP_ALL_ACCESS, FALSE, "Missing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    EXPECT_EQ(info.dwAllocationGranularity, 65536u);
    EXPECT_EQ(info.dwPageSize, 4096u);
}

}  // namespace
