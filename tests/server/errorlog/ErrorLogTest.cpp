#include "server/errorlog/ErrorLog.h"

#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

SYSTEMTIME Now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return t;
}

std::vector<std::string> Lines() {
    std::vector<std::string> out;
    std::istringstream in(tmstest::ReadFileText(ErrorLogPath()));
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(line);
    }
    return out;
}

TEST(ErrorLogTest, ChainIdIsTheFailureCodeItself) {
    tmstest::TestRuntimeDir dir;
    struct Row {
        HRESULT in;
        HRESULT out;
    } rows[] = {{HR(0x80043015), HR(0x80043015)}, {E_FAIL, E_FAIL}, {HR(0x8004301c), HR(0x8004301c)},
                {S_OK, E_FAIL}, {S_FALSE, E_FAIL}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(ErrorLogCreateChainId(row.in), row.out);
    }
}

TEST(ErrorLogTest, RecordsOfOneChainShareItsNumberAndNewlinesStayInOneLine) {
    tmstest::TestRuntimeDir dir;
    ErrorLogCreateChainId(E_FAIL);
    ASSERT_TRUE(ErrorLogWriteExW(E_FAIL, Now(), 5, ERRORLOG_LEVEL_ERROR, "Channel.cpp", 10, 3,
                                 "first\r\nsecond", E_FAIL));
    ErrorLogWriteEntryPointW(E_FAIL, Now(), "CChannel::Open 1");
    ErrorLogCreateChainId(E_FAIL);
    ErrorLogWriteEntryPointW(E_FAIL, Now(), "CChannel::Close");
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" ERROR comp=5 "), std::string::npos);
    EXPECT_NE(lines[0].find("hr=0x80004005 Channel.cpp:10 +3ms first / second"), std::string::npos);
    auto chainOf = [](const std::string& l) {
        auto p = l.find("chain=");
        return l.substr(p, l.find(' ', p) - p);
    };
    EXPECT_EQ(chainOf(lines[0]), chainOf(lines[1]));
    EXPECT_NE(chainOf(lines[1]), chainOf(lines[2]));
}

// Many writers in several threads of two processes: every record arrives
// whole, on a line of its own.
TEST(ErrorLogTest, ConcurrentWritersNeverInterleave) {
    tmstest::TestRuntimeDir dir;
    constexpr int kThreads = 4;
    constexpr int kRecords = 200;
    const std::string payload(200, 'p');
    auto writeMany = [&](int who) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRecords; ++i) {
                    std::string text = "w" + std::to_string(who) + "." + std::to_string(t) + "." +
                                       std::to_string(i) + " " + payload + " end";
                    ErrorLogWriteExW(0, Now(), 5, ERRORLOG_LEVEL_TRACE, "x.cpp", 1, 0, text.c_str(),
                                     0);
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeMany(1);
        _exit(0);
    }
    writeMany(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u * kThreads * kRecords);
    std::set<std::string> seen;
    for (const auto& line : lines) {
        auto p = line.find(" w");
        ASSERT_NE(p, std::string::npos) << line;
        ASSERT_EQ(line.substr(line.size() - 4), " end") << line;
        seen.insert(line.substr(p + 1, line.find(' ', p + 1) - p - 1));
    }
    EXPECT_EQ(seen.size(), lines.size());
}

}  // namespace
