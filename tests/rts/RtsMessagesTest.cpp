#include "tmschannel/rts/RtsMessages.h"

#include "platform/mmio/RiffFormat.h"
#include "tests/rts/Golden.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace rts;
using tmstest::Golden;
using tmstest::Hex;

class RtsMessagesTest : public ::testing::Test {
protected:
    static void ExpectBytes(CMmioMsg& msg, const Golden& g) {
        ASSERT_EQ(msg.GetMsgSize(), g.Bytes().size());
        EXPECT_EQ(Hex(msg.GetBuffer(), msg.GetMsgSize()), Hex(g.Bytes().data(), g.Bytes().size()));
    }
    static OwnerRecord Owner() {
        OwnerRecord o{};
        o.channelIndex = 1;
        SetNarrow(o.channelId, "Chan1");
        SetNarrow(o.application, "Playout");
        SetNarrow(o.appServerId, "srv-7");
        return o;
    }
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(RtsMessagesTest, OpenCarriesOwnerAndConfigurationTextWithItsNul) {
    CMmioMsg msg(kLargeMessageSize);
    ASSERT_EQ(BuildOpenMessage(msg, Owner(), "<Config/>x"), S_OK);  // 10 characters
    // "cdef": 11 bytes with the NUL, stored in 12. RIFF size 4 + 120 + 20 = 144.
    Golden g(152);
    g.Text(0, "RIFF").U32(4, 144).Text(8, "open").Text(12, "ownr").U32(16, 112);
    g.U32(20, 1).Text(24, "Chan1").Text(60, "Playout").Text(96, "srv-7");
    g.Text(132, "cdef").U32(136, 12).Text(140, "<Config/>x");
    ExpectBytes(msg, g);
}

TEST_F(RtsMessagesTest, DefaultModesGoToTheDefaultContextWithAsap) {
    struct Row {
        const char* name;
        PortContextRecord ctx;
        std::uint32_t flags;
        std::size_t modeOffset;
        std::uint32_t mode;
    } rows[] = {
        {"idle EE", DefaultIdleModeContext(1), 0x81, 40, 1},
        {"idle Freeze", DefaultIdleModeContext(0), 0x81, 40, 0},
        {"end Black", DefaultEndModeContext(2), 0x41, 36, 2},
        {"end Default goes as Freeze", DefaultEndModeContext(3), 0x41, 36, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CMmioMsg msg(kLargeMessageSize);
        ASSERT_EQ(BuildPortContextMessage(msg, row.ctx), S_OK);
        Golden g(76);
        g.Text(0, "RIFF").U32(4, 68).Text(8, "sbuf").Text(12, "ctx ").U32(16, 56);
        g.U32(20 + 0, 0xFFFFFFFF).U32(20 + 4, row.flags).U32(20 + 8, 0).U32(20 + 12, 1);
        g.U32(20 + row.modeOffset, row.mode);
        ExpectBytes(msg, g);
    }
}

TEST_F(RtsMessagesTest, EveryFieldOfThePortContextRecordSitsAtItsOffset) {
    PortContextRecord ctx{};
    ctx.contextIndex = 2;
    ctx.flags = 0x1FFD;
    ctx.changeId = 77;
    ctx.trigger = kTriggerNow;
    ctx.portState = 2;
    ctx.position = -5;
    ctx.minPosition = 100;
    ctx.maxPosition = 2000;
    ctx.endMode = 1;
    ctx.idleMode = 2;
    ctx.speed = -2.0f;
    ctx.markIn = 300;
    ctx.markOut = 1001;
    CMmioMsg msg(kLargeMessageSize);
    ASSERT_EQ(BuildPortContextMessage(msg, ctx), S_OK);
    Golden g(76);
    g.Text(0, "RIFF").U32(4, 68).Text(8, "sbuf").Text(12, "ctx ").U32(16, 56);
    g.U32(20, 2).U32(24, 0x1FFD).U32(28, 77).U32(32, 4).U32(36, 0).U32(40, 2);
    g.U32(44, 0xFFFFFFFB).U32(48, 100).U32(52, 2000).U32(56, 1).U32(60, 2);
    g.U32(64, 0xC0000000).U32(68, 300).U32(72, 1001);  // -2.0f is 0xC0000000
    ExpectBytes(msg, g);
}

TEST_F(RtsMessagesTest, GpiInputMessageIsAScheduleOnTheDefaultContext) {
    CMmioMsg msg(kSmallMessageSize);
    ASSERT_EQ(BuildScheduleMessage(msg, GpiInputSchedule(5, true), GpiInputContext()), S_OK);
    // RIFF 4 + 56 + 64 = 124.
    Golden g(132);
    g.Text(0, "RIFF").U32(4, 124).Text(8, "schc").Text(12, "schc").U32(16, 48);
    g.U32(20, 1).U32(24, 5).U8(20 + 44, 1);
    g.Text(68, "ctx ").U32(72, 56).U32(76, 0xFFFFFFFF).U32(76 + 8, 0xFFFFFFFE);
    ExpectBytes(msg, g);
}

TEST_F(RtsMessagesTest, StateMessageWithoutFlagsHasNoContextChunk) {
    CMmioMsg msg(kLargeMessageSize);
    CStateMessageBuilder b(msg);
    PortContextRecord ctx{};
    ctx.flags = 0x10000;  // only high bits: never sent
    ASSERT_EQ(b.Begin(ctx), S_OK);
    EXPECT_FALSE(b.HasContext());
    ASSERT_EQ(b.Finish(), S_OK);
    EXPECT_EQ(msg.GetMsgSize(), 12u);
}

// A context reuses its state buffer: a short state message after a long one
// has the layout's bytes and nothing of the long one behind its end.
TEST_F(RtsMessagesTest, ShortStateMessageAfterALongOneCarriesNoStaleBytes) {
    CMmioMsg msg(kLargeMessageSize);
    auto build = [&](int states, std::int32_t start) {
        CStateMessageBuilder b(msg);
        PortContextRecord ctx{};
        ctx.flags = kFlagPosition;
        ASSERT_EQ(b.Begin(ctx), S_OK);
        ResourceIdRecord id{};
        SetNarrow(id.typeName, "video");
        ASSERT_EQ(b.BeginResource(id), S_OK);
        for (int i = 0; i < states; ++i) {
            VideoStateRecord v{};
            v.start = start + i;
            v.videoFlags = 0xFFFF;
            ASSERT_EQ(b.AddVideoState(v), S_OK);
        }
        ASSERT_EQ(b.EndResource(), S_OK);
        ASSERT_EQ(b.Finish(), S_OK);
    };
    build(900, 1000);
    ASSERT_EQ(msg.GetMsgSize(), 12u + 64u + 12u + 80u + 900u * 40u);
    build(1, 7);
    // RIFF 4 + 64 + (8 + LIST 4 + 80 + 40) = 200.
    Golden g(208);
    g.Text(0, "RIFF").U32(4, 200).Text(8, "sbuf");
    g.Text(12, "ctx ").U32(16, 56).U32(20 + 4, kFlagPosition);
    g.Text(76, "LIST").U32(80, 124).Text(84, "rbuf");
    g.Text(88, "res ").U32(92, 72).Text(96 + 36, "video");
    g.Text(168, "vid ").U32(172, 32).U32(176, 7).U16(176 + 26, 0xFFFF);
    ExpectBytes(msg, g);
    const BYTE* b = std::as_const(msg).GetBuffer();
    for (DWORD i = msg.GetMsgSize(); i < msg.GetBufferSize(); ++i) {
        ASSERT_EQ(b[i], 0) << "offset " << i;
    }
}

TEST_F(RtsMessagesTest, FileStateRecordLayout) {
    CMmioMsg msg(kLargeMessageSize);
    CFileStateMessageBuilder b(msg, 0, 1, [](CMmioMsg&) { return S_OK; });
    FileStateRecord f{};
    f.fileCode = 1000;
    f.mediaFileType = 6;
    SetNarrow(f.handleName, std::string(300, 'h'));
    ASSERT_EQ(b.Add(kChunkFileWrite, f), S_OK);
    ASSERT_EQ(b.Finish(), S_OK);
    const BYTE* chunk = msg.GetBuffer() + 12 + 64 + 12;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(chunk), 4), "fw  ");
    EXPECT_EQ(riff::LoadLe32(chunk + 4), 264u);
    EXPECT_EQ(chunk[8], 0xE8);  // 1000
    EXPECT_EQ(chunk[9], 0x03);
    EXPECT_EQ(riff::LoadLe32(chunk + 12), 6u);
    // 255 characters and the NUL.
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(chunk + 16)), 255u);
}

TEST_F(RtsMessagesTest, LongNamesAreCutTo35AndTerminated) {
    OwnerRecord o{};
    SetNarrow(o.channelId, std::string(50, 'c'));
    EXPECT_EQ(GetNarrow(o.channelId).size(), 35u);
    EXPECT_EQ(o.channelId[35], 0);
    SetNarrow(o.channelId, "");
    EXPECT_EQ(GetNarrow(o.channelId).size(), 0u);
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(GetNarrow(unterminated), "abcd");
}

TEST_F(RtsMessagesTest, RepliesAreCheckedBeforeTheyAreBelieved) {
    struct Row {
        const char* name;
        std::vector<std::uint8_t> bytes;
        DWORD received;  // 0 = all
        HRESULT hr;
        bool found;
        std::int32_t status;
    };
    auto reply = [](std::uint32_t riffSize, const char* form, std::uint32_t ackSize,
                    std::uint32_t status) {
        Golden g(28 + 8);
        g.Text(0, "RIFF").U32(4, riffSize).Text(8, form).Text(12, "ack ").U32(16, ackSize);
        g.U32(20, status);
        return g.Bytes();
    };
    Row rows[] = {
        {"good", reply(20, "repl", 8, 0), 0, S_OK, true, 0},
        {"failing status", reply(20, "repl", 8, 0x55), 0, S_OK, true, 0x55},
        {"other form", reply(20, "abcd", 8, 0), 0, S_OK, false, 0},
        {"ack of 12", reply(24, "repl", 12, 0), 0, HR(0x8004300c), false, 0},
        {"riff larger than received", reply(20, "repl", 8, 0), 20, HR(0x80043006), false, 0},
        {"shorter than a header", reply(20, "repl", 8, 0), 7, HR(0x80043006), false, 0},
        {"ack runs past the form", reply(12, "repl", 8, 0), 0, HR(0x80043006), false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CMmioMsg msg(kSmallMessageSize);
        std::memcpy(msg.GetBuffer(), row.bytes.data(), row.bytes.size());
        bool found = false;
        std::int32_t status = -1;
        DWORD received = row.received ? row.received : static_cast<DWORD>(row.bytes.size());
        EXPECT_EQ(ReadReply(msg, received, &found, &status), row.hr);
        EXPECT_EQ(found, row.found);
        if (row.found) {
            EXPECT_EQ(status, row.status);
        }
    }
}

// Every truncation and every flipped byte of a real reply either reads or
// fails cleanly; the sanitizer run proves nothing is read past the bytes.
TEST_F(RtsMessagesTest, CorruptRepliesNeverOverRead) {
    CMmioMsg good(kSmallMessageSize);
    ASSERT_EQ(BuildReplyMessage(good, 0), S_OK);
    std::vector<std::uint8_t> bytes(good.GetBuffer(), good.GetBuffer() + good.GetMsgSize());
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        std::vector<std::uint8_t> heap(bytes.begin(), bytes.begin() + cut);
        CMmioMsg msg;
        ASSERT_EQ(msg.Create(static_cast<DWORD>(cut == 0 ? 1 : cut)), S_OK);
        if (cut != 0) {
            std::memcpy(msg.GetBuffer(), heap.data(), cut);
        }
        bool found = false;
        std::int32_t status = 0;
        HRESULT hr = ReadReply(msg, static_cast<DWORD>(cut), &found, &status);
        EXPECT_EQ(hr == S_OK && found, cut == bytes.size()) << "cut " << cut;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            CMmioMsg msg(static_cast<DWORD>(bytes.size()));
            std::memcpy(msg.GetBuffer(), bytes.data(), bytes.size());
            msg.GetBuffer()[at] ^= flip;
            bool found = false;
            std::int32_t status = 0;
            ReadReply(msg, static_cast<DWORD>(bytes.size()), &found, &status);
        }
    }
}

}  // namespace
