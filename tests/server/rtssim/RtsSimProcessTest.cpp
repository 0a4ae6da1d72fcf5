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

    // One exchange; returns the ack status, or -1 when there was no valid reply.
    static std::int64_t Exchange(CIpmClient& port, CMmioMsg& msg, HRESULT* readResult = nullptr) {
        if (port.Write(reinterpret_cast<const char*>(msg.GetBuffer()),
                       static_cast<int>(msg.GetMsgSize())) < 0) {
            return -1;
        }
        CMmioMsg reply(rts::kSmallMessageSize);
        int n = port.Read(reinterpret_cast<char*>(reply.GetBuffer()), 1024);
        if (n <= 0)
            return -1;
        bool found = false;
        std::int32_t status = -1;
        HRESULT hr = rts::ReadReply(reply, static_cast<DWORD>(n), &found, &status);
        if (readResult)
            *readResult = hr;
        return SUCCEEDED(hr) && found ? status : -1;
    }

    static void BuildOpen(CMmioMsg& msg) {
        rts::OwnerRecord owner{};
        std::strcpy(owner.channelId, "Chan1");
        ASSERT_EQ(rts::BuildOpenMessage(msg, owner, "<Config/>"), S_OK);
    }

    static std::string Control(const std::string& command) {
        CIpmClient control(512, 1, "rtssim/control", 5000);
        if (control.Write(command.data(), static_cast<int>(command.size())) < 0)
            return "";
        char answer[512];
        int n = control.Read(answer, sizeof answer);
        return n > 0 ? std::string(answer, n) : "";
    }

    tmstest::TestRuntimeDir m_dir;
    pid_t m_pid = -1;
    bool m_leftBehind = false;
};

TEST_F(RtsSimProcessTest, AnswersOpenChecksMessagesAndDumpsThem) {
    const std::string dump = m_dir.Path() + "/dump";
    Start({"--dump", dump});
    CIpmClient port(4096, 1, "rtp/TmsFore00", 5000);
    ASSERT_TRUE(port.IsOpen()) << std::strerror(port.LastError());

    CMmioMsg state(rts::kLargeMessageSize);
    ASSERT_EQ(rts::BuildPortContextMessage(state, rts::DefaultEndModeContext(0)), S_OK);
    EXPECT_EQ(Exchange(port, state), kAckNotOpen);

    CMmioMsg open(rts::kLargeMessageSize);
    BuildOpen(open);
    EXPECT_EQ(Exchange(port, open), kAckOk);
    EXPECT_EQ(Exchange(port, state), kAckOk);

    CMmioMsg bad(rts::kLargeMessageSize);
    BuildOpen(bad);
    bad.GetBuffer()[8] = 'X';  // unknown form
    EXPECT_EQ(Exchange(port, bad), kAckUnknownForm);

    // Every received message, as sent, in order.
    EXPECT_EQ(tmstest::ReadFileText(dump + "/000002.riff"),
              std::string(reinterpret_cast<const char*>(open.GetBuffer()), open.GetMsgSize()));
    EXPECT_TRUE(std::filesystem::exists(dump + "/000004.riff"));
}

TEST_F(RtsSimProcessTest, TicksAdvanceAtTheFieldRate) {
    Start({});
    CRtsShmem shmem;
    ASSERT_TRUE(shmem.Open());
    unsigned t0 = 0, t1 = 0;
    ASSERT_TRUE(shmem.GetTickCount(0, &t0));
    const auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(shmem.GetTickCount(0, &t1));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    // 59.94 fields a second; loosely, as the machine may be busy.
    const double rate = (t1 - t0) / seconds;
    EXPECT_GT(rate, 20.0);
    EXPECT_LT(rate, 180.0);
    unsigned tod = 0;
    EXPECT_TRUE(shmem.GetTimeOfDay(&tod));
    EXPECT_EQ(tod & 0x80000000u, 0u);
}

TEST_F(RtsSimProcessTest, FaultSwitchesSeenFromTheClient) {
    Start({});
    CMmioMsg open(rts::kLargeMessageSize);
    BuildOpen(open);
    {
        SCOPED_TRACE("ack 9");
        ASSERT_EQ(Control("fault ack 9"), "ok");
        CIpmClient port(4096, 1, "rtp/TmsFore00", 5000);
        EXPECT_EQ(Exchange(port, open), 9);
    }
    {
        SCOPED_TRACE("malformed");
        ASSERT_EQ(Control("fault none"), "ok");
        ASSERT_EQ(Control("fault malformed"), "ok");
        CIpmClient port(4096, 1, "rtp/TmsFore00", 5000);
        HRESULT hr = S_OK;
        EXPECT_EQ(Exchange(port, open, &hr), -1);
        EXPECT_EQ(hr, static_cast<HRESULT>(0x80043006));
    }
    {
        SCOPED_TRACE("noreply");
        ASSERT_EQ(Control("fault none"), "ok");
        ASSERT_EQ(Control("fault noreply"), "ok");
        CIpmClient port(4096, 1, "rtp/TmsFore00", 200);
        EXPECT_EQ(Exchange(port, open), -1);
        EXPECT_EQ(port.LastError(), ETIMEDOUT);
    }
    {
        SCOPED_TRACE("delay");
        ASSERT_EQ(Control("fault none"), "ok");
        ASSERT_EQ(Control("fault delay 300"), "ok");
        CIpmClient port(4096, 1, "rtp/TmsFore00", 5000);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(Exchange(port, open), kAckOk);
        EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
    }
    {
        SCOPED_TRACE("closeafter");
        ASSERT_EQ(Control("fault none"), "ok");
        ASSERT_EQ(Control("fault closeafter 2"), "ok");
        CIpmClient port(4096, 1, "rtp/TmsFore00", 5000);
        EXPECT_EQ(Exchange(port, open), kAckOk);
        EXPECT_EQ(Exchange(port, open), kAckOk);
        EXPECT_EQ(Exchange(port, open), -1);
    }
    EXPECT_EQ(Control("fault bogus").rfind("error unknown fault", 0), 0u);
    EXPECT_EQ(Control("fault delay -1").rfind("error ", 0), 0u);
    {
        SCOPED_TRACE("exit");
        ASSERT_EQ(Control("fault none"), "ok");
        ASSERT_EQ(Control("fault exit"), "ok");
        CIpmClient port(4096, 1, "rtp/TmsFore00", 5000);
        EXPECT_EQ(Exchange(port, open), -1);
        int status = Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
        m_leftBehind = true;
    }
}

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

}  // namespace
