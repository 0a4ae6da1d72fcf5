#include "platform/kernel/EventLog.h"
#include "platform/kernel/Thread.h"
#include "tests/platform/kernel/ForkChild.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using kerneltest::ForkChild;
using kerneltest::WaitChild;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

TEST(EventLogTest, OneLinePerRecordWithTimeSourceTypeAndStrings) {
    tmstest::TestRuntimeDir dir;
    CHandle src(RegisterEventSource(nullptr, "TmsChannel"));
    ASSERT_TRUE(src);
    const char* two[] = {"first\r\n  ->second", "third\nfourth"};
    ASSERT_TRUE(ReportEvent(src.Get(), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, two, nullptr));
    const char* one[] = {"ready"};
    unsigned char data[] = {0x01, 0xAB};
    ASSERT_TRUE(ReportEvent(src.Get(), EVENTLOG_WARNING_TYPE, 3, 7, nullptr, 1, 2, one, data));
    ASSERT_TRUE(
        ReportEvent(src.Get(), EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 0, 0, nullptr, nullptr));

    std::vector<std::string> lines = Lines(tmstest::ReadFileText(dir.Path() + "/log/eventlog.log"));
    ASSERT_EQ(lines.size(), 3u);
    const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(time + R"(TmsChannel ERROR: first /   ->second \| third / fourth)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[1],
        std::regex(time + R"(TmsChannel WARNING \[category 3, id 7\]: ready \[data: 01 ab\])")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(time + "TmsChannel INFORMATION:")))
        << lines[2];
    EXPECT_TRUE(DeregisterEventSource(src.Release()));
}

TEST(EventLogTest, BadArgumentsAreRefused) {
    tmstest::TestRuntimeDir dir;
    EXPECT_EQ(RegisterEventSource(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterEventSource("\\\\other", "x"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    CHandle src(RegisterEventSource(nullptr, "Test"));
    EXPECT_FALSE(ReportEvent(src.Get(), 3, 0, 0, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(
        ReportEvent(src.Get(), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReportEvent(nullptr, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(tmstest::ReadFileText(dir.Path() + "/log/eventlog.log"), "");
}

TEST(EventLogTest, ConcurrentWritersInSeveralProcessesNeverInterleave) {
    tmstest::TestRuntimeDir dir;
    constexpr int kProcesses = 3, kThreads = 2, kRecords = 200;
    std::string big(3000, 'z');  // long records are the ones a split write would tear
    auto writeAll = [&](int process) {
        CThread threads[kThreads];
        for (int t = 0; t < kThreads; ++t) {
            threads[t].Start(
                [&, t]() -> DWORD {
                    CHandle src(RegisterEventSource(nullptr, "Writer"));
                    for (int i = 0; i < kRecords; ++i) {
                        char tag[32];
                        std::snprintf(tag, sizeof tag, "p%d t%d n%d", process, t, i);
                        const char* strings[] = {tag, big.c_str()};
                        if (!ReportEvent(src.Get(), EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0,
                                         strings, nullptr)) {
                            return 1;
                        }
                    }
                    return 0;
                },
                "tms-test-log");
        }
        DWORD failed = 0;
        for (auto& t : threads) {
            t.Join();
            failed |= t.GetExitCode();
        }
        return static_cast<int>(failed);
    };
    std::vector<pid_t> children;
    for (int p = 1; p < kProcesses; ++p) {
        children.push_back(ForkChild([&, p] { return writeAll(p); }));
    }
    EXPECT_EQ(writeAll(0), 0);
    for (pid_t pid : children) {
        EXPECT_EQ(WaitChild(pid), 0);
    }
    std::vector<std::string> lines = Lines(tmstest::ReadFileText(dir.Path() + "/log/eventlog.log"));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kProcesses * kThreads * kRecords));
    const std::regex whole(R"(.* Writer INFORMATION: p\d t\d n\d+ \| z{3000})");
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
    }
}

}  // namespace
