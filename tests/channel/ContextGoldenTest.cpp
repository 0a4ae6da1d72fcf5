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

// A 'vid ' chunk at offset at: port position, file code, media position,
// fields left, movie position less the (clipped) segment start, flags.
void VideoState(Golden& g, std::size_t at, std::int32_t port, std::uint16_t code,
                std::int32_t media, std::int32_t left, std::int32_t intoSegment) {
    g.Text(at, "vid ").U32(at + 4, 32);
    g.U32(at + 8, static_cast<std::uint32_t>(port)).U16(at + 12, code);
    g.U32(at + 16, static_cast<std::uint32_t>(media))
        .U32(at + 24, static_cast<std::uint32_t>(left));
    g.U32(at + 28, static_cast<std::uint32_t>(intoSegment)).U16(at + 34, 2 + 64);
}

// The same where movie and port positions agree and the segment starts at 0.
void Video(Golden& g, std::size_t at, std::int32_t start, std::uint16_t code, std::int32_t left) {
    VideoState(g, at, start, code, start, left, start);
}

void ResourceList(Golden& g, std::size_t listSize) {
    g.Text(76, "LIST").U32(80, static_cast<std::uint32_t>(listSize)).Text(84, "rbuf");
    g.Text(88, "res ").U32(92, 72).Text(96, "1").Text(132, "video");
}

// The golden messages are those of a channel that plays pictures only: its
// configuration has no audio, timecode, ancillary-data or GPI path (those
// resources have goldens of their own).
class ContextGoldenTest : public tmstest::ContextFixture {
protected:
    void BeforeOpen() override {
        RemoveAudioAndTimecode("Chan2");
        RemoveChannelElement("<AncData index=\"1\"", "</AncData>");
        RemoveChannelElement("<Gpi index=\"1\"", "</Gpi>");
    }
};

TEST_F(ContextGoldenTest, CuePlaySeekStopAndReverseOfAKnownMovie) {
    const unsigned token = Alloc(Create("golden", true, 600));
    ITmsContextBroker* broker = m_broker;
    // The stop and the reverse start from where the RTS has the port; a
    // running clock would move it on from 100 between the seek and them.
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");

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
    // The file code comes from the process's pool; the states name it.
    const std::uint16_t code = static_cast<std::uint16_t>(files[96] | files[97] << 8);
    EXPECT_NE(code, 0) << "file code";
    EXPECT_EQ(files[100], 11) << "media file type of an Mpeg file in 525 lines";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&files[104])).size(), 18u);

    Golden cueMessage(248);
    cueMessage.Text(0, "RIFF").U32(4, 240).Text(8, "sbuf");
    PortContext(cueMessage, 0x2ED, 1, TmsCuePlay, 0.0f, 511);
    ResourceList(cueMessage, 164);
    Video(cueMessage, 168, 0, code, 599);
    Video(cueMessage, 208, 510, code, 89);
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
    Video(seekMessage, 168, 512, code, 87);
    Video(seekMessage, 208, 598, code, 1);
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
    Video(reverseMessage, 168, 0, code, 599);
    Video(reverseMessage, 208, 100, code, 499);
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

// The channel loops, and the limits 100 to 139 bound the lists: they run
// 100 to 138 (the last even field below the end limit) and come back to
// 100 two fields of port time after each loop point. The play limits go
// unbounded, since the lists themselves repeat.
TEST_F(ContextGoldenTest, LimitsWithLoopRepeatBetweenThem) {
    EditConfig(R"(<Channel id="Chan2" channelIndex="1" channelType="Player" loop="false")",
               R"(<Channel id="Chan2" channelIndex="1" channelType="Player" loop="true")");
    ASSERT_EQ(m_channel->RefreshConfig(CBstr("")), S_OK) << LastErrorText();
    const unsigned token = Alloc(Create("loop", true, 600));
    ITmsContextBroker* broker = m_broker;

    // Cue at 120 with both limits: 120 ... 136 and the loop point at 138
    // (10 states), then nine loops of 100 ... 138 at ports 140 + 40k (20
    // each); the tenth loop point (port 498) ends the list. Each loop is
    // a run of its own offset: its first and last state go.
    Forget();
    auto cue = Change(0x60000C, TmsCuePlay, 0.0f, 120);
    Golden limits(cue);
    limits.U32(88, 100).U32(92, 139);
    cue = limits.Bytes();
    ASSERT_EQ(broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    auto got = Received();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_GE(got[0].bytes.size(), 98u);
    const std::uint16_t code = static_cast<std::uint16_t>(got[0].bytes[96] | got[0].bytes[97] << 8);
    Golden cueMessage(968);
    cueMessage.Text(0, "RIFF").U32(4, 960).Text(8, "sbuf");
    PortContext(cueMessage, 0x2FD, 1, TmsCuePlay, 0.0f, 499);
    cueMessage.U32(44, 120).U32(48, 0x80000000u).U32(52, 0x7FFFFFFF).U32(68, 120);
    ResourceList(cueMessage, 884);
    // The segment clipped to the limits: it starts at 100, 40 fields long.
    auto loopRun = [code](Golden& g, std::size_t at, std::int32_t first, std::int32_t port) {
        VideoState(g, at, port, code, first, 139 - first, first - 100);
        VideoState(g, at + 40, port + 138 - first, code, 138, 1, 38);
    };
    loopRun(cueMessage, 168, 120, 120);
    for (int k = 0; k < 9; ++k) {
        loopRun(cueMessage, 248 + 80 * k, 100, 140 + 40 * k);
    }
    EXPECT_EQ(got[1].bytes, cueMessage.Bytes())
        << tmstest::Hex(got[1].bytes.data(), got[1].bytes.size());

    // Play at 1x: the window goes on to 256 states past the position, 66
    // more. The first would be 140, past the loop end: the list loops at
    // once without a second loop point at 138, then three whole loops with
    // theirs from port 500, then 100 ... 110 at ports 620 ... 630.
    Forget();
    auto play = Change(0x0104, TmsShuttlePlay, 1.0f, 0, 600);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
    got = Received();
    ASSERT_EQ(got.size(), 1u);
    Golden playMessage(488);
    playMessage.Text(0, "RIFF").U32(4, 480).Text(8, "sbuf");
    PortContext(playMessage, 0x305, 2, TmsShuttlePlay, 1.0f, 631);
    playMessage.U32(44, 120).U32(48, 0x80000000u).U32(52, 0x7FFFFFFF).U32(68, 120);
    ResourceList(playMessage, 404);
    for (int k = 0; k < 3; ++k) {
        loopRun(playMessage, 168 + 80 * k, 100, 500 + 40 * k);
    }
    VideoState(playMessage, 408, 620, code, 100, 39, 0);
    VideoState(playMessage, 448, 630, code, 110, 29, 10);
    EXPECT_EQ(got[0].bytes, playMessage.Bytes())
        << tmstest::Hex(got[0].bytes.data(), got[0].bytes.size());
    ASSERT_EQ(m_channel->FreeContext(token), S_OK);
}

// A delete of 50 fields before the cued position moves the movie position
// back by 50 and keeps the port position; a cued context then starts its
// list again from there, on the shortened timeline.
TEST_F(ContextGoldenTest, AnEditBeforeTheCuedPositionShiftsTheMovieAgainstThePort) {
    const unsigned token = Alloc(Create("edit", true, 600));
    ITmsContextBroker* broker = m_broker;
    // 300 ... 596 and the loop point at 598.
    auto cue = Change(0x000C, TmsCuePlay, 0.0f, 300);
    ASSERT_EQ(broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();

    Forget();
    auto edit = Change(0x800000, TmsCuePlay, 0.0f, 0, 550);
    Golden fields(edit);
    fields.U32(108, 100).U32(112, 149).U32(116, static_cast<std::uint32_t>(-50));
    edit = fields.Bytes();
    ASSERT_EQ(broker->ApplyContextChange(token, 124, edit.data()), S_OK) << LastErrorText();
    auto got = Received();
    ASSERT_EQ(got.size(), 1u);
    // Purged (0x400): the edit missed the window of a cued context. The
    // offset is now 50: the minimum moves to port 50 (0x10); the maximum,
    // 549 on the shorter timeline, lands on port 599 as before. The list
    // runs 250 ... 546 at ports 300 ... 596 and loops at 548 (port 598);
    // the segment is clipped to the timeline's 550 fields.
    ASSERT_EQ(got[0].bytes.size(), 248u);
    // The segment's file code, as the pool handed it out (the pool is the
    // process's, shared with the tests before).
    const std::uint16_t code =
        static_cast<std::uint16_t>(got[0].bytes[180] | got[0].bytes[181] << 8);
    EXPECT_NE(code, 0);
    Golden editMessage(248);
    editMessage.Text(0, "RIFF").U32(4, 240).Text(8, "sbuf");
    PortContext(editMessage, 0x611, 2, TmsCuePlay, 0.0f, 599);
    editMessage.U32(44, 300).U32(48, 50).U32(52, 599).U32(68, 300);
    ResourceList(editMessage, 164);
    VideoState(editMessage, 168, 300, code, 250, 299, 250);
    VideoState(editMessage, 208, 598, code, 548, 1, 548);
    EXPECT_EQ(got[0].bytes, editMessage.Bytes())
        << tmstest::Hex(got[0].bytes.data(), got[0].bytes.size());
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
