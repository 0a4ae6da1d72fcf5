// The simulator's checker is a second reader of the component's messages:
// every message the component's builders make must pass it, and the
// corruptions below must be refused with the right status.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "server/rtssim/RtsMessageChecker.h"
#include "server/rtssim/RtsSimulator.h"
#include "tmschannel/rts/MmioMsg.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Take(CMmioMsg& msg) {
    const BYTE* p = msg.GetBuffer();
    return Bytes(p, p + msg.GetMsgSize());
}

void PutU32(Bytes& b, std::size_t off, std::uint32_t v) {
    std::memcpy(&b[off], &v, 4);
}

rts::OwnerRecord Owner() {
    rts::OwnerRecord o{};
    o.channelIndex = 1;
    std::strcpy(o.channelId, "Chan2");
    std::strcpy(o.application, "playout");
    return o;
}

rts::PortContextRecord PlayContext() {
    rts::PortContextRecord c{};
    c.contextIndex = 2;
    c.flags = rts::kFlagPortState | rts::kFlagPosition | rts::kFlagSpeed | rts::kFlagMaxPos;
    c.changeId = 7;
    c.portState = 2;
    c.position = 100;
    c.maxPosition = 5000;
    c.speed = 1.0f;
    return c;
}

Bytes OpenMessage() {
    CMmioMsg msg(rts::kLargeMessageSize);
    EXPECT_EQ(rts::BuildOpenMessage(msg, Owner(), "<Config/>"), S_OK);
    return Take(msg);
}

Bytes StateMessage(std::uint16_t fileCode) {
    CMmioMsg msg(rts::kLargeMessageSize);
    rts::CStateMessageBuilder b(msg);
    EXPECT_EQ(b.Begin(PlayContext()), S_OK);
    rts::ResourceIdRecord video{};
    std::strcpy(video.indexText, "0");
    std::strcpy(video.typeName, "video");
    EXPECT_EQ(b.BeginResource(video), S_OK);
    rts::VideoStateRecord v{};
    v.start = 100;
    v.fileCode = fileCode;
    v.remaining = 900;
    EXPECT_EQ(b.AddVideoState(v), S_OK);
    EXPECT_EQ(b.EndResource(), S_OK);
    rts::ResourceIdRecord tc{};
    std::strcpy(tc.typeName, "timecode");
    EXPECT_EQ(b.BeginResource(tc), S_OK);
    rts::TrackStateRecord t{};
    t.start = 100;
    t.fileCode = fileCode;
    t.remaining = 1200;
    EXPECT_EQ(b.AddTimecodeState(t), S_OK);
    EXPECT_EQ(b.EndResource(), S_OK);
    rts::ResourceIdRecord gpi{};
    std::strcpy(gpi.typeName, "gpi");
    EXPECT_EQ(b.BeginResource(gpi), S_OK);
    rts::GpiStateRecord g{};
    g.position = 150;
    g.mask = 0x100;
    EXPECT_EQ(b.AddGpiState(g), S_OK);
    EXPECT_EQ(b.EndResource(), S_OK);
    EXPECT_EQ(b.Finish(), S_OK);
    return Take(msg);
}

// n file states: opens of codes 1..n, or closes when close is set.
std::vector<Bytes> FileMessages(int n, bool close) {
    std::vector<Bytes> sent;
    CMmioMsg msg(rts::kLargeMessageSize);
    rts::CFileStateMessageBuilder b(msg, 2, 7, [&](CMmioMsg& m) {
        sent.push_back(Take(m));
        return S_OK;
    });
    for (int i = 1; i <= n; ++i) {
        rts::FileStateRecord f{};
        f.fileCode = static_cast<std::uint16_t>(i);
        std::strcpy(f.handleName, "V:/clip.mxf");
        EXPECT_EQ(b.Add(close ? rts::kChunkFileClose : rts::kChunkFileRead, f), S_OK);
    }
    EXPECT_EQ(b.Finish(), S_OK);
    return sent;
}

TEST(RtsMessageCheckerTest, RefusesCorruptions) {
    struct Case {
        const char* name;
        std::function<Bytes()> make;
        RtsAckStatus status;
    } cases[] = {
        {"empty", [] { return Bytes(); }, kAckMalformed},
        {"shorter than a header", [] { return Bytes{'R', 'I', 'F', 'F', 4, 0}; }, kAckMalformed},
        {"not RIFF",
         [] {
             Bytes b = OpenMessage();
             b[0] = 'X';
             return b;
         },
         kAckMalformed},
        {"truncated",
         [] {
             Bytes b = OpenMessage();
             b.resize(b.size() - 4);
             return b;
         },
         kAckMalformed},
        {"trailing bytes",
         [] {
             Bytes b = OpenMessage();
             b.push_back(0);
             return b;
         },
         kAckMalformed},
        {"chunk runs past the message",
         [] {
             Bytes b = OpenMessage();
             PutU32(b, 16, 0x7FFFFFF0);
             return b;
         },
         kAckMalformed},
        {"unknown form",
         [] {
             Bytes b = OpenMessage();
             PutU32(b, 8, RtsFourCc("opem"));
             return b;
         },
         kAckUnknownForm},
        {"owner record of 108 bytes",
         [] {
             Bytes b = OpenMessage();  // shrink "ownr" by 4, keep the message whole
             PutU32(b, 16, 108);
             b.erase(b.begin() + 20 + 108, b.begin() + 20 + 112);
             PutU32(b, 4, static_cast<std::uint32_t>(b.size() - 8));
             return b;
         },
         kAckChunkSize},
        {"open without cdef",
         [] {
             Bytes b = OpenMessage();
             b.resize(12 + 8 + 112);
             PutU32(b, 4, static_cast<std::uint32_t>(b.size() - 8));
             return b;
         },
         kAckChunkOrder},
        {"cdef without NUL",
         [] {
             Bytes b = OpenMessage();
             for (std::size_t i = 12 + 8 + 112 + 8; i < b.size(); ++i)
                 b[i] = 'x';
             return b;
         },
         kAckBadValue},
        {"port state 5",
         [] {
             Bytes b = StateMessage(5);
             PutU32(b, 20 + 20, 5);
             return b;
         },
         kAckBadValue},
        {"context index 4",
         [] {
             Bytes b = StateMessage(5);
             PutU32(b, 20, 4);
             return b;
         },
         kAckBadValue},
        {"file code not opened", [] { return StateMessage(6); }, kAckUnknownFile},
        {"file code 1001", [] { return StateMessage(1001); }, kAckBadValue},
        {"close of a file never opened", [] { return FileMessages(1, true)[0]; }, kAckUnknownFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = c.make();
        RtsCheckResult r = CheckRtsMessage(b.data(), b.size(), {5});
        EXPECT_EQ(r.status, c.status) << r.problem;
        EXPECT_NE(r.problem.find(" at byte "), std::string::npos) << r.problem;
    }
}

// Two audio lists (one playing file 5, one black) and a timecode list, as
// the channel sends them for a movie with one audio track.
Bytes AudioTimecodeMessage(std::uint16_t audioCode, std::int32_t timecodeRemaining) {
    CMmioMsg msg(rts::kLargeMessageSize);
    rts::CStateMessageBuilder b(msg);
    EXPECT_EQ(b.Begin(PlayContext()), S_OK);
    for (std::uint16_t code : {audioCode, std::uint16_t{0}}) {
        rts::ResourceIdRecord audio{};
        std::strcpy(audio.typeName, "audio");
        EXPECT_EQ(b.BeginResource(audio), S_OK);
        rts::AudioStateRecord a{};
        a.start = 100;
        a.fileCode = code;
        a.remaining = 900;
        a.gain = 0x1000;
        EXPECT_EQ(b.AddAudioState(a), S_OK);
        EXPECT_EQ(b.EndResource(), S_OK);
    }
    rts::ResourceIdRecord tc{};
    std::strcpy(tc.typeName, "timecode");
    EXPECT_EQ(b.BeginResource(tc), S_OK);
    rts::TrackStateRecord t{};
    t.start = 100;
    t.fileCode = 5;
    t.mediaPosition = 1800;
    t.remaining = timecodeRemaining;
    EXPECT_EQ(b.AddTimecodeState(t), S_OK);
    EXPECT_EQ(b.EndResource(), S_OK);
    EXPECT_EQ(b.Finish(), S_OK);
    return Take(msg);
}

TEST(RtsMessageCheckerTest, AudioAndTimecodeStatesAreCheckedAndTakenLikeVideo) {
    const std::set<std::uint16_t> open = {5};
    const Bytes good = AudioTimecodeMessage(5, 1200);
    RtsCheckResult r = CheckRtsMessage(good.data(), good.size(), open);
    ASSERT_EQ(r.status, kAckOk) << r.problem;
    EXPECT_EQ(r.message.audioWithMedia, (std::vector<bool>{true, false}));
    ASSERT_EQ(r.message.timecodeStates.size(), 1u);
    EXPECT_EQ(r.message.timecodeStates[0].start, 100);
    EXPECT_EQ(r.message.timecodeStates[0].fileCode, 5);
    EXPECT_EQ(r.message.timecodeStates[0].mediaPosition, 1800);
    EXPECT_EQ(r.message.listEnd, 1300);

    struct Case {
        const char* name;
        Bytes bytes;
        RtsAckStatus status;
    } cases[] = {
        {"audio file code not opened", AudioTimecodeMessage(6, 1200), kAckUnknownFile},
        {"timecode state with negative fields left", AudioTimecodeMessage(5, -1), kAckBadValue},
        {"timecode state past the last position", AudioTimecodeMessage(5, 0x7FFFFFFF),
         kAckBadValue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r = CheckRtsMessage(c.bytes.data(), c.bytes.size(), open);
        EXPECT_EQ(r.status, c.status) << r.problem;
    }
    // An audio state of 44 bytes: the first "aud " chunk follows "ctx " (12 +
    // 64), its LIST header (12) and "res " (80); shrink it and every size
    // around it by 4.
    Bytes small = good;
    const std::size_t list = 12 + 64, aud = list + 12 + 80;
    ASSERT_EQ(std::memcmp(&small[aud], "aud ", 4), 0);
    PutU32(small, aud + 4, 44);
    small.erase(small.begin() + static_cast<long>(aud + 8 + 44),
                small.begin() + static_cast<long>(aud + 8 + 48));
    std::uint32_t listSize = 0;
    std::memcpy(&listSize, &small[list + 4], 4);
    PutU32(small, list + 4, listSize - 4);
    PutU32(small, 4, static_cast<std::uint32_t>(small.size() - 8));
    r = CheckRtsMessage(small.data(), small.size(), open);
    EXPECT_EQ(r.status, kAckChunkSize) << r.problem;
}

TEST(RtsMessageCheckerTest, ReplyBytesAsTheComponentReadsThem) {
    // "RIFF" 20 "repl" "ack " 8 status 0, worked out by hand.
    const unsigned char expected[28] = {'R', 'I', 'F', 'F', 20,  0,   0, 0, 'r', 'e',
                                        'p', 'l', 'a', 'c', 'k', ' ', 8, 0, 0,   0,
                                        7,   1,   0,   0,   0,   0,   0, 0};
    Bytes reply = BuildRtsReply(0x107);
    ASSERT_EQ(reply.size(), 28u);
    EXPECT_EQ(std::memcmp(reply.data(), expected, 28), 0);
    CMmioMsg msg(rts::kSmallMessageSize);
    std::memcpy(msg.GetBuffer(), reply.data(), reply.size());
    bool found = false;
    std::int32_t status = 0;
    ASSERT_EQ(rts::ReadReply(msg, 28, &found, &status), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(status, 0x107);
}

}  // namespace
