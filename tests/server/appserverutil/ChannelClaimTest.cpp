// The channel claim between controllers: one holder at a time, who holds it
// as far as the claim file says, and no claim outliving its process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "server/appserverutil/ChannelClaim.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

class ChannelClaimTest : public ::testing::Test {
protected:
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(ChannelClaimTest, OneHolderAtATimeAndTheRefusedOneIsToldWho) {
    CChannelClaim holder;
    ASSERT_TRUE(holder.Claim(3, "automation"));
    EXPECT_TRUE(holder.Claim(3, "automation")) << "claimed again by its holder";

    CChannelClaim second;
    EXPECT_FALSE(second.Claim(3, "ingest"));
    EXPECT_TRUE(second.Busy());
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(second.GetHolder().pid, ::getpid());
    EXPECT_EQ(second.HolderText(), "process " + std::to_string(::getpid()) +
                                       " (appserverutil_t, application 'automation')");

    CChannelClaim other;
    EXPECT_TRUE(other.Claim(4, "ingest")) << "another channel is free";

    holder.Release();
    EXPECT_TRUE(second.Claim(3, "ingest"));
    EXPECT_FALSE(second.Busy());
}

// What a refused claimant reads is only a hint: a line it cannot parse
// (being written, cut, or not one at all) reads as an unknown holder.
TEST_F(ChannelClaimTest, AHolderLineThatCannotBeParsedReadsAsUnknown) {
    struct Row {
        const char* line;
        int pid;
        const char* text;
    } rows[] = {
        {"", 0, "another process"},
        {"1234", 0, "another process"},
        {"1234 tmsctl", 0, "another process"},
        {"x12 tmsctl\tapp\n", 0, "another process"},
        {"-5 tmsctl\tapp\n", 0, "another process"},
        {"1234 tmsctl\t\n", 1234, "process 1234 (tmsctl)"},
        {"1234 tmsctl\tplayout 1\n", 1234, "process 1234 (tmsctl, application 'playout 1')"},
        {"1234 \tplayout\n", 1234, "process 1234 (?, application 'playout')"},
    };
    CChannelClaim holder;
    ASSERT_TRUE(holder.Claim(1, "app"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        std::ofstream(CChannelClaim::PathFor(1), std::ios::trunc) << row.line;
        CChannelClaim second;
        EXPECT_FALSE(second.Claim(1, "other"));
        EXPECT_EQ(second.GetHolder().pid, row.pid);
        EXPECT_EQ(second.HolderText(), row.text);
    }
}

// The kernel drops the claim with its process: a controller that crashed
// leaves its channel free, though its line is still in the file.
TEST_F(ChannelClaimTest, AClaimDiesWithItsProcess) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CChannelClaim claim;
        const char ok = claim.Claim(2, "crashing") ? 'y' : 'n';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
        ::pause();  // until killed, holding the claim
        _exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(ok, 'y');

    CChannelClaim second;
    EXPECT_FALSE(second.Claim(2, "next"));
    EXPECT_EQ(second.GetHolder().pid, child);
    EXPECT_EQ(second.GetHolder().application, "crashing");

    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(second.Claim(2, "next"));
}

}  // namespace
