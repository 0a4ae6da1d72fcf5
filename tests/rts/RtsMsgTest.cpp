// The RTS connection against the simulator, in process (fault switches set
// directly) and as a real process (killed mid-exchange). Time-outs are kept
// short; nothing here asserts on elapsed time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "server/configmgr/SystemConfigFile.h"
#include "server/rtssim/RtsSimulator.h"
#include "tests/frame/LogLines.h"
#include "tests/support/RtsSimProcess.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/frame/EntryPoint.h"
#include "tmschannel/rts/RtsMessages.h"
#include "tmschannel/rts/RtsMsg.h"

namespace {

constexpr HRESULT kNoResponse = HR(0x80043011);
constexpr HRESULT kLost = HR(0x80043012);
constexpr HRESULT kShortRead = HR(0x80043006);

class RtsMsgTest : public ::testing::Test {
protected:
    void StartSimulator() {
        RtsSimOptions options;
        options.configPath = SampleConfigPath();
        m_sim = std::make_unique<CRtsSimulator>(options);
        std::string error;
        ASSERT_TRUE(m_sim->Start(&error)) << error;
    }
    void TearDown() override {
        m_rts.CloseRtsConnection();
        if (m_sim) {
            m_sim->Stop();
        }
        EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    }

    static void BuildOpen(CMmioMsg& msg) {
        rts::OwnerRecord owner{};
        rts::SetNarrow(owner.channelId, "Chan1");
        ASSERT_EQ(rts::BuildOpenMessage(msg, owner, "<Config/>"), S_OK);
    }
    HRESULT SendOpen(DWORD timeout = CRtsMsg::kSendTimeoutMs) {
        CMmioMsg msg(rts::kLargeMessageSize);
        BuildOpen(msg);
        return m_rts.SendMsg(msg, timeout);
    }
    static bool Logged(const std::string& text) {
        for (const auto& r : tmstest::ReadLog()) {
            if (r.text.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    tmstest::TestRuntimeDir m_dir;
    std::unique_ptr<CRtsSimulator> m_sim;
    CRtsMsg m_rts;
};

TEST_F(RtsMsgTest, SequenceNumbersAdvanceOnePerSend) {
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    EXPECT_TRUE(m_rts.IsConnected());
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(SendOpen(), S_OK);
    }
    const auto s = m_rts.GetStamps();
    EXPECT_EQ(s.next, 4u);
    EXPECT_EQ(s.queued, 3u);
    EXPECT_EQ(s.taken, 3u);
    EXPECT_EQ(s.written, 3u);
    EXPECT_EQ(s.read, 3u);
}

TEST_F(RtsMsgTest, RefusedOrMalformedRepliesFailTheExchangeButNotTheConnection) {
    struct Row {
        const char* name;
        void (*fault)(RtsFaults&);
        HRESULT expected;
        const char* logged;
    } rows[] = {
        {"ack 5", [](RtsFaults& f) { f.ackStatus = 5; }, E_FAIL,
         "Chan1: RTS message returned with error code 0x5"},
        {"malformed", [](RtsFaults& f) { f.malformed = true; }, HR(0x80043006), nullptr},
    };
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.fault(m_sim->Faults());
        const HRESULT hr = SendOpen();
        if (row.expected == HR(0x80043006)) {
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        } else {
            EXPECT_EQ(hr, row.expected);
        }
        if (row.logged != nullptr) {
            EXPECT_TRUE(Logged(row.logged));
        }
        m_sim->Control("fault none");
        EXPECT_TRUE(m_rts.IsConnected());
        EXPECT_EQ(SendOpen(), S_OK) << "the thread must survive a bad exchange";
    }
}

// Regression: a malformed reply reached the sender's caller as its bare code;
// the message raised on the message thread went to the log only. The rows run
// in turn, so each must also show its own message and not one that an earlier
// exchange left on the message thread.
TEST_F(RtsMsgTest, MalformedReplyMessageReachesTheSenderNotOnlyTheLog) {
    struct Row {
        const char* fault;
        const char* message;
    } rows[] = {
        {"malformed",
         "Chan1: Malformed reply from the hardware (RTS): Could only read 12 bytes of 248 for "
         "current chunk"},
        {"replysize 1026",
         "Chan1: Malformed reply from the hardware (RTS): a reply of 1026 bytes is longer than "
         "the reply buffer of 1024 bytes"},
        {"malformed",
         "Chan1: Malformed reply from the hardware (RTS): Could only read 12 bytes of 248 for "
         "current chunk"},
    };
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        ASSERT_EQ(m_sim->Control(std::string("fault ") + row.fault), "ok");
        tmsframe::TakeFailureText();
        EXPECT_EQ(SendOpen(), kShortRead);
        EXPECT_EQ(tmsframe::TakeFailureText(), row.message);
        EXPECT_TRUE(Logged(row.message)) << "in the sender's chain";
        ASSERT_EQ(m_sim->Control("fault none"), "ok");
    }
}

// Regression: a reply longer than the 1024-byte reply buffer was taken for
// an RTS that went away, and the connection stayed lost. The port drops such
// a reply whole, so only its exchange fails; a reply of exactly the buffer's
// size is taken.
TEST_F(RtsMsgTest, ReplyLongerThanTheReplyBufferFailsTheExchangeAndKeepsTheConnection) {
    struct Row {
        int size;
        HRESULT expected;
    } rows[] = {
        {1022, S_OK},
        {CRtsMsg::kReplySize, S_OK},
        {CRtsMsg::kReplySize + 2, kShortRead},
        {40960, kShortRead},
        {RtsFaults::kMaxReplySize, kShortRead},
    };
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        ASSERT_EQ(m_sim->Control("fault replysize " + std::to_string(row.size)), "ok");
        EXPECT_EQ(SendOpen(), row.expected);
        EXPECT_TRUE(m_rts.IsConnected());
        ASSERT_EQ(m_sim->Control("fault none"), "ok");
        EXPECT_EQ(SendOpen(), S_OK) << "the next exchange reads its own reply";
    }
    EXPECT_FALSE(Logged("Communication has been lost"));
}

TEST_F(RtsMsgTest, NoReplyLogsAtHalfTimeThenFailsAndLosesTheConnection) {
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    ASSERT_EQ(SendOpen(), S_OK);
    ASSERT_EQ(SendOpen(), S_OK);
    m_sim->Faults().noReply = true;
    EXPECT_EQ(SendOpen(400), kNoResponse);
    EXPECT_TRUE(
        Logged("Chan1: Hardware (RTS) has not responded in 200ms. Rtn:258. Msg:3->3->3->2"));
    EXPECT_TRUE(
        Logged("Chan1: Hardware (RTS) has not responded in 400ms.  Msg:3->3->3->2 Thread:active"));
    EXPECT_FALSE(m_rts.IsConnected());
    // Later sends fail at once without touching the thread.
    m_sim->Control("fault none");
    EXPECT_EQ(SendOpen(), kLost);
    EXPECT_EQ(m_rts.GetStamps().queued, 3u);
    // The stuck thread is woken by closing its port, not killed.
    EXPECT_EQ(m_rts.CloseRtsConnection(), S_OK);
    EXPECT_FALSE(Logged("Timed out trying to close foreground IPM thread"));
}

// Regression for the hand-over through flags: the answer a thread gives
// after its sender gave up stays raised, and a connection opened again must
// not take it for the answer to its own first request, which would return
// before the exchange ran.
TEST_F(RtsMsgTest, AReopenedConnectionWaitsForItsOwnAnswerNotOneLeftByAGivenUpSend) {
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    m_sim->Faults().noReply = true;
    EXPECT_EQ(SendOpen(200), kNoResponse);
    // Closing wakes the thread stuck in its read; it answers nobody.
    EXPECT_EQ(m_rts.CloseRtsConnection(), S_OK);
    m_sim->Control("fault none");
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(SendOpen(), S_OK);
        const auto s = m_rts.GetStamps();
        EXPECT_EQ(s.read, s.queued) << "returned before its own exchange was read";
    }
}

TEST_F(RtsMsgTest, APortClosedByTheRtsLosesTheConnectionAtOnce) {
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    m_sim->Faults().closeAfter = 1;
    EXPECT_EQ(SendOpen(), S_OK);
    EXPECT_EQ(SendOpen(), kLost);
    EXPECT_FALSE(m_rts.IsConnected());
    EXPECT_TRUE(Logged("Chan1: Communication has been lost with the hardware (RTS)"));
    EXPECT_EQ(SendOpen(), kLost);
}

TEST_F(RtsMsgTest, CloseWhileASendIsStuckWaitsForTheSendThenEnds) {
    StartSimulator();
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    m_sim->Faults().noReply = true;
    HRESULT sent = S_OK;
    std::thread sender([&] { sent = SendOpen(600); });
    while (m_rts.GetStamps().written < 1) {
        std::this_thread::yield();
    }
    EXPECT_EQ(m_rts.CloseRtsConnection(), S_OK);
    sender.join();
    EXPECT_EQ(sent, kNoResponse);
    EXPECT_FALSE(m_rts.IsConnected());
    EXPECT_EQ(SendOpen(), S_FALSE) << "closed: nothing is sent";
}

TEST_F(RtsMsgTest, SimulatorKilledMidExchangeFailsTheSendWithoutWaitingForTheTimeOut) {
    tmstest::RtsSimProcess sim;
    ASSERT_EQ(sim.Start(TMS_RTSSIM, m_dir.Path(), {"--no-reply"}), "");
    ASSERT_EQ(m_rts.OpenRtsConnection(0, "Chan1"), S_OK);
    HRESULT sent = S_OK;
    std::thread sender([&] { sent = SendOpen(); });
    while (m_rts.GetStamps().written < 1) {
        std::this_thread::yield();
    }
    sim.Kill();
    sender.join();
    EXPECT_EQ(sent, kLost);
    EXPECT_FALSE(m_rts.IsConnected());
    // Clean up what the killed process left.
    ASSERT_EQ(sim.Start(TMS_RTSSIM, m_dir.Path()), "");
    sim.Stop();
}

}  // namespace
