#include "tmschannel/context/FileCodePool.h"
#include "tmschannel/context/FileMap.h"
#include "tmschannel/context/MediaFileRefList.h"

#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

class FileCodePoolTest : public ::testing::Test {
protected:
    void SetUp() override { CFileCodePool::Instance().ResetForTest(); }
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(FileCodePoolTest, FreshPoolHandsOutOneTwoThree) {
    CFileMap map;
    for (std::uint16_t expected : {1, 2, 3}) {
        std::uint16_t code = 0;
        ASSERT_EQ(map.AllocateFileCode(&code), S_OK);
        EXPECT_EQ(code, expected);
    }
}

TEST_F(FileCodePoolTest, ExhaustionFailsAndLeavesThePoolAsItWas) {
    CFileMap map;
    std::uint16_t code = 0;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(map.AllocateFileCode(&code), S_OK);
    }
    EXPECT_EQ(code, 1000);
    code = 77;
    EXPECT_EQ(map.AllocateFileCode(&code), E_UNEXPECTED);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(CFileCodePool::Instance().UsedCount(), 1000u);
    // A freed code is the only one left, so it comes straight back.
    ASSERT_EQ(map.FreeFileCode(500), S_OK);
    ASSERT_EQ(map.AllocateFileCode(&code), S_OK);
    EXPECT_EQ(code, 500);
}

TEST_F(FileCodePoolTest, FreedCodeWaitsBehindEveryNeverUsedCode) {
    CFileMap map;
    std::uint16_t code = 0;
    for (int i = 0; i < 3; ++i) {
        map.AllocateFileCode(&code);
    }
    ASSERT_EQ(map.FreeFileCode(2), S_OK);
    ASSERT_EQ(map.AllocateFileCode(&code), S_OK);
    EXPECT_EQ(code, 4);
}

TEST_F(FileCodePoolTest, DoubleFreeAndUnknownCodesFailNamingTheCode) {
    CFileMap map;
    std::uint16_t code = 0;
    map.AllocateFileCode(&code);
    EXPECT_EQ(map.FreeFileCode(code), S_OK);
    EXPECT_EQ(map.FreeFileCode(code), E_UNEXPECTED);
    EXPECT_EQ(map.FreeFileCode(0), E_UNEXPECTED);
    std::string log = tmstest::ReadFileText(m_dir.Path() + "/log/errorlog.log");
    EXPECT_NE(log.find("Could not free file code 1. It may not have been allocated"),
              std::string::npos);
    EXPECT_NE(log.find("CFileMap::FreeFileCode 0"), std::string::npos);
}

// Contexts on several channels allocate at once: no code is handed out twice.
TEST_F(FileCodePoolTest, ConcurrentAllocationsNeverShareACode) {
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::vector<std::uint16_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CFileMap map;
            for (int i = 0; i < kEach; ++i) {
                std::uint16_t c = 0;
                if (map.AllocateFileCode(&c) == S_OK) {
                    got[t].push_back(c);
                }
                if (i % 3 == 0) {
                    map.FreeFileCode(c);
                    got[t].pop_back();
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::set<std::uint16_t> all;
    std::size_t total = 0;
    for (const auto& v : got) {
        all.insert(v.begin(), v.end());
        total += v.size();
    }
    EXPECT_EQ(all.size(), total);
    EXPECT_EQ(CFileCodePool::Instance().UsedCount(), total);
    EXPECT_EQ(CFileCodePool::Instance().FreeCount(), 1000u - total);
}

TEST(MediaFileRefListTest, ReferencesFollowTheListsThatHoldThem) {
    MediaFileInfo a, b;
    {
        CMediaFileRefList first;
        first.Add(&a);
        first.Add(&b);
        CMediaFileRefList copy(first);
        EXPECT_EQ(a.refCount, 2);
        CMediaFileRefList moved(std::move(copy));
        EXPECT_EQ(a.refCount, 2);
        first = moved;
        EXPECT_EQ(b.refCount, 2);
    }
    EXPECT_EQ(a.refCount, 0);
    EXPECT_EQ(b.refCount, 0);
}

}  // namespace

namespace {

// Each test case runs in a process of its own, so here the pool does not
// exist yet: the first maps are made on several threads at once and the pool
// must still be filled exactly once.
TEST(FileCodePoolFirstUseTest, FirstMapsOnManyThreadsFillThePoolOnce) {
    tmstest::TestRuntimeDir dir;
    std::vector<std::thread> threads;
    std::vector<std::uint16_t> codes(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            CFileMap map;
            map.AllocateFileCode(&codes[t]);
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::set<std::uint16_t> distinct(codes.begin(), codes.end());
    EXPECT_EQ(distinct.size(), 8u);
    EXPECT_EQ(CFileCodePool::Instance().UsedCount() + CFileCodePool::Instance().FreeCount(), 1000u);
}

}  // namespace
