// The state messages of a known movie, byte for byte: the expectations are
// worked out by hand from the record layouts and the state-list rules.
// Channel 1 (Chan2): one Mpeg video resource (index text "1", track type 4,
// media data word at offset 24 = 2 + 64 for 4:3), 2 fields a frame; the
// movie is one 600-field media segment.
#include <cstring>

#include "tests/channel/ContextFixture.h"

namespace {

using tmstest::Golden;

// The "ctx " chunk at offset 12 of an "sbuf".
void PortContext(Golden& g, std::uint32_t flags, std::int32_t changeId, std::int32_t state,
                 float speed, std::int32_t markOut) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &speed, 4);
    g.Text(12, "ctx ").U32(16, 56);
    g.U32(20, 0).U32(24, flags).U32(28, static_cast<std::uint32_t>(changeId)).U32(32, 1);
    g.U32(40, static_cast<std::uint32_t>(state)).U32(44, 0).U32(48, 0).U32(52, 599);
    g.U32(56, 3).U32(60, 3).U32(64, bits).U32(68, 0).U32(72, static_cast<std::uint32_t>(markOut));
}

// A 'vid ' chunk at offset at: start, file code, media position, fields
// left, offset into the segment, flags.
void Video(Golden& g, std::size_t at, std::int32_t start, std::uint16_t code, std::int32_t left) {
    g.Text(at, "vid ").U32(at + 4, 32);
    g.U32(at + 8, static_cast<std::uint32_t>(start)).U16(at + 12, code);
    g.U32(at + 16, static_cast<std::uint32_t>(start))
        .U32(at + 24, static_cast<std::uint32_t>(left));
    g.U32(at + 28, static_cast<std::uint32_t>(start)).U16(at + 34, 2 + 64);
}

void ResourceList(Golden& g, std::size_t listSize) {
    g.Text(76, "LIST").U32(80, static_cast<std::uint32_t>(listSize)).Text(84, "rbuf");
    g.Text(88, "res ").U32(92, 72).Text(96, "1").Text(132, "video");
}

using ContextGoldenTest = tmstest::ContextFixture;

TEST_F(ContextGoldenTest, CuePlaySeekStopAndReverseOfAKnownMovie) {
    const unsigned token = Alloc(Create("golden", true, 600));
    ITmsContextBroker* broker = m_broker;

    // Cue at 0: the first change adds end and idle mode Default (0xC0); the
    // maximum becomes the timeline's last field (0x20); 256 states from 0
    // step 2 make the window 0..510 (0x200, mark out + 1 for two fields a
    // frame); the one run of states writes its first and last state.
    Forget();
    auto cue = Change(0x000C, TmsCuePlay, 0.0f);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    auto got = Received();
    ASSERT_EQ(got.size(), 2u);
    // The file open comes first: "ctx " with flags 0 and the new change id.
    const auto& files = got[0].bytes;
    ASSERT_EQ(files.size(), 12u + 64u + 12u + 8u + 264u);
    Golden fileHead(88);
    fileHead.Text(0, "RIFF").U32(4, static_cast<std::uint32_t>(files.size() - 8)).Text(8, "sbuf");
    fileHead.Text(12, "ctx ").U32(16, 56).U32(20, 0).U32(24, 0).U32(28, 1);
    fileHead.Text(76, "LIST").U32(80, 4 + 8 + 264).Text(84, "file");
    EXPECT_EQ(std::vector<BYTE>(files.begin(), files.begin() + 88), fileHead.Bytes());
    EXPECT_EQ(std::string(files.begin() + 88, files.begin() + 92), "fw  ");
    EXPECT_EQ(files[96], 1) << "file code";
    EXPECT_EQ(files[100], 11) << "media file type of an Mpeg file in 525 lines";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&files[104])).size(), 18u);

    Golden cueMessage(248);
    cueMessage.Text(0, "RIFF").U32(4, 240).Text(8, "sbuf");
    PortContext(cueMessage, 0x2ED, 1, TmsCuePlay, 0.0f, 511);
    ResourceList(cueMessage, 164);
    Video(cueMessage, 168, 0, 1, 599);
    Video(cueMessage, 208, 510, 1, 89);
    EXPECT_EQ(got[1].bytes, cueMessage.Bytes())
        << tmstest::Hex(got[1].bytes.data(), got[1].bytes.size());

    // Play at 1x from the same position: the window already reaches 256
    // states past it, so only the port context goes.
    Forget();
    auto play = Change(0x0104, TmsShuttlePlay, 1.0f);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
    got = Received();
    ASSERT_EQ(got.size(), 1u);
    Golden playMessage(76);
    playMessage.Text(0, "RIFF").U32(4, 68).Text(8, "sbuf");
    PortContext(playMessage, 0x105, 2, TmsShuttlePlay, 1.0f, 511);
    EXPECT_EQ(got[0].bytes, playMessage.Bytes());

    // Position to 100 while playing: inside the window, so the list goes on
    // after its last state, 512 to 596 and the loop point at 598; the
    // window's end moved (0x200).
    Forget();
    auto seek = Change(0x0008, 0, 1.0f, 100);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, seek.data()), S_OK) << LastErrorText();
    got = Received();
    ASSERT_EQ(got.size(), 1u);
    Golden seekMessage(248);
    seekMessage.Text(0, "RIFF").U32(4, 240).Text(8, "sbuf");
    PortContext(seekMessage, 0x209, 3, TmsShuttlePlay, 1.0f, 599);
    seekMessage.U32(44, 100);
    ResourceList(seekMessage, 164);
    Video(seekMessage, 168, 512, 1, 87);
    Video(seekMessage, 208, 598, 1, 1);
    EXPECT_EQ(got[0].bytes, seekMessage.Bytes())
        << tmstest::Hex(got[0].bytes.data(), got[0].bytes.size());

    // Stop: a play stops as idle at speed 0 (0x800, the 0x10000 stays the
    // context's); the window already reaches the end.
    Forget();
    auto stop = Change(0x10000, 0, 0.0f);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, stop.data()), S_OK) << LastErrorText();
    got = Received();
    ASSERT_EQ(got.size(), 1u);
    Golden stopMessage(76);
    stopMessage.Text(0, "RIFF").U32(4, 68).Text(8, "sbuf");
    PortContext(stopMessage, 0x801, 4, TmsShuttlePlay, 0.0f, 599);
    stopMessage.U32(44, 100);
    EXPECT_EQ(got[0].bytes, stopMessage.Bytes());

    // Reverse at -2x from 100: the port state stays Play, so its flag goes
    // (0x004 cleared); leaving 1x purges the window (0x400); the list runs
    // 100, 96 ... 4 and the loop point at 0, one run.
    Forget();
    auto reverse = Change(0x0104, TmsShuttlePlay, -2.0f);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, reverse.data()), S_OK) << LastErrorText();
    got = Received();
    ASSERT_EQ(got.size(), 1u);
    Golden reverseMessage(248);
    reverseMessage.Text(0, "RIFF").U32(4, 240).Text(8, "sbuf");
    PortContext(reverseMessage, 0x701, 5, TmsShuttlePlay, -2.0f, 101);
    reverseMessage.U32(44, 100);
    ResourceList(reverseMessage, 164);
    Video(reverseMessage, 168, 0, 1, 599);
    Video(reverseMessage, 208, 100, 1, 499);
    EXPECT_EQ(got[0].bytes, reverseMessage.Bytes())
        << tmstest::Hex(got[0].bytes.data(), got[0].bytes.size());

    // Recording from play is refused and sends nothing.
    Forget();
    auto record = Change(0x0004, TmsShuttleRecord, 1.0f);
    EXPECT_EQ(broker->ApplyContextChange(token, 124, record.data()), HR(0x80043003));
    EXPECT_EQ(LastErrorText(), "Chan2:Ctx0: Cannot go from portState 2 to portState 4");
    EXPECT_TRUE(Received().empty());
    ASSERT_EQ(m_channel->FreeContext(token), S_OK);
}

int ChunksOf(const tmstest::DumpedMessage& m, std::uint32_t id) {
    int n = 0;
    while (!m.Chunk(id, n).empty()) {
        ++n;
    }
    return n;
}

TEST_F(ContextGoldenTest, NinetyMediaFilesOpenInThreeMessagesBeforeTheStatesAndCloseAfter) {
    CComPtr<IUnknown> timeline;
    const std::uint16_t code = Create("ninety", false, 0, &timeline);
    CComPtr<IMovie> movie = MovieOf(timeline);
    ITmsContextBroker* broker = m_broker;
    // Ninety one-frame clips, each its own media file.
    for (int i = 0; i < 90; ++i) {
        unsigned short segment = 0;
        ASSERT_EQ(movie->AppendSegment(4, 0, 0, 2, 4, nullptr, &segment), S_OK);
    }
    const unsigned token = Alloc(code);
    Forget();
    // The timeline is the ninety clips long.
    auto cue = Change(0x000C, TmsCuePlay, 0.0f, 0, 180);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    auto got = Received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(ChunksOf(got[0], rts::kChunkFileWrite), 36);
    EXPECT_EQ(ChunksOf(got[1], rts::kChunkFileWrite), 36);
    EXPECT_EQ(ChunksOf(got[2], rts::kChunkFileWrite), 18);
    // 0 to 176 and the loop point at 178: one state a clip.
    EXPECT_EQ(ChunksOf(got[3], rts::kChunkVideo), 90);

    // Cued, the context is the RTS's active one: freeing it stops it first.
    ASSERT_EQ(m_channel->WaitForPortState(token, TmsCuePlay, 2000), S_OK);
    Forget();
    ASSERT_EQ(m_channel->FreeContext(token), S_OK) << LastErrorText();
    got = Received();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].FormName(), "sbuf");
    EXPECT_EQ(ChunksOf(got[1], rts::kChunkFileClose), 36);
    EXPECT_EQ(ChunksOf(got[2], rts::kChunkFileClose), 36);
    EXPECT_EQ(ChunksOf(got[3], rts::kChunkFileClose), 18);
    EXPECT_EQ(got[4].FormName(), "cctx");
}

}  // namespace
