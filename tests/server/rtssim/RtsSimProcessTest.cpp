// The simulator as a real second process: started as tms-rtssim on a
// private runtime folder, reached through the IPM client library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/ipmclient/IpmClient.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/rtssim/RtsAckStatus.h"
#include "tests/support/RtsSimProcess.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/rts/MmioMsg.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

using namespace std::chrono_literals;

class RtsSimProcessTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            Wait();
        }
        // A simulator that exited abruptly left its sockets and memory: a new
        // one takes them over and removes them when it stops.
        if (m_leftBehind) {
            Start({});
            ::kill(m_pid, SIGTERM);
            Wait();
        }
        std::vector<std::string> sockets;
        for (const auto& e : std::filesystem::recursive_directory_iterator(m_dir.Path())) {
            if (e.is_socket())
                sockets.push_back(e.path().string());
        }
        EXPECT_TRUE(sockets.empty()) << sockets.front();
        EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    }

    void Start(std::vector<std::string> extra) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        std::vector<std::string> args = {TMS_RTSSIM, "--runtime", m_dir.Path()};
        args.insert(args.end(), extra.begin(), extra.end());
        m_pid = ::fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        char buf[64] = {};
        ssize_t n = ::read(out[0], buf, sizeof buf - 1);  // "tms-rtssim: ready"
        ::close(out[0]);
        ASSERT_GT(n, 0) << "the simulator did not start";
        ASSERT_NE(std::strstr(buf, "ready"), nullptr) << buf;
        m_leftBehind = false;
    }

    int Wait() {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

    static void BuildOpen(CMmioMsg& msg) {
        rts::OwnerRecord owner{};
        std::strcpy(owner.channelId, "Chan1");
        ASSERT_EQ(rts::BuildOpenMessage(msg, owner, "<Config/>"), S_OK);
    }

    tmstest::TestRuntimeDir m_dir;
    pid_t m_pid = -1;
    bool m_leftBehind = false;
};

TEST_F(RtsSimProcessTest, KilledMidExchangeFailsTheReadInsteadOfHanging) {
    Start({"--no-reply"});
    CIpmClient port(4096, 1, "rtp/TmsFore01", 60000);
    CMmioMsg open(rts::kLargeMessageSize);
    BuildOpen(open);
    ASSERT_GT(port.Write(reinterpret_cast<const char*>(open.GetBuffer()),
                         static_cast<int>(open.GetMsgSize())),
              0);
    std::thread killer([pid = m_pid] {
        std::this_thread::sleep_for(100ms);
        ::kill(pid, SIGKILL);
    });
    char reply[1024];
    const int n = port.Read(reply, sizeof reply);  // would wait 60 s if the death went unseen
    killer.join();
    Wait();
    m_leftBehind = true;
    EXPECT_LE(n, 0);
    EXPECT_EQ(port.Write("x", 1), -1);
}

TEST_F(RtsSimProcessTest, TmsctlSetsGpiInputs) {
    Start({});
    CRtsShmem shmem;
    ASSERT_TRUE(shmem.Open());
    struct Case {
        std::string args;
        int exitCode;
        unsigned mask;  // of channel 2 afterwards
    } cases[] = {
        {"gpi 2 5 on", 0, 0x20},  {"gpi 2 0 on", 0, 0x21}, {"gpi 2 5 off", 0, 0x01},
        {"gpi 2 16 on", 2, 0x01}, {"gpi 7 1 on", 2, 0x01}, {"gpi 2 1 maybe", 2, 0x01},
        {"gpi 2", 2, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string command = std::string(TMS_TMSCTL) + " rts --runtime " + m_dir.Path() +
                                    " " + c.args + " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
        unsigned mask = ~0u;
        // The clock publishes within a few milliseconds.
        for (int i = 0; i < 200 && mask != c.mask; ++i) {
            std::this_thread::sleep_for(5ms);
            shmem.GetGpiInputMask(2, &mask);
        }
        EXPECT_EQ(mask, c.mask);
    }
}

// A held clock moves on by exactly the fields asked for, and only while held.
TEST_F(RtsSimProcessTest, AHeldClockStepsByExactlyTheFieldsAsked) {
    Start({});
    auto tick = [] {
        const std::string line = tmstest::SimControl("status 1");
        const auto at = line.find(" tick ");
        return at == std::string::npos ? -1L : std::stol(line.substr(at + 6));
    };
    EXPECT_NE(tmstest::SimControl("clock step 5").find("error the clock runs"), std::string::npos);
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");
    const long before = tick();
    ASSERT_GE(before, 0);
    for (const char* bad : {"clock step", "clock step 0", "clock step -3", "clock step 100001",
                            "clock step 2x", "clock step 5 6"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(tmstest::SimControl(bad).rfind("error usage: clock", 0), 0u);
    }
    EXPECT_EQ(tick(), before);
    ASSERT_EQ(tmstest::SimControl("clock step 25"), "ok");
    EXPECT_EQ(tick(), before + 25);
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    EXPECT_EQ(tick(), before + 26);
    ASSERT_EQ(tmstest::SimControl("clock run"), "ok");
}

}  // namespace
