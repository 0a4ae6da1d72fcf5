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

}  // namespace
