// The simulated RTS recording: trigger statuses through a record and its
// end, the record words, the bytes and picture index a record writes (15
// Mbit/s at 60000/1001 fields a second is 31281.25 bytes a field; an MPEG
// GOP of 4 P pictures per I and 2 B per P is 13 frames, 26 field pictures),
// and playback past what was recorded.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/kernel/RuntimeDir.h"
#include "server/appserverutil/PictureIndex.h"
#include "server/rtssim/RtsChannelModel.h"
#include "server/rtssim/RtsSimConfig.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

constexpr std::uint16_t kFile = 7;

RtsSimChannel MpegChannel() {
    RtsSimChannel c;
    c.index = 2;
    c.id = "Chan3";
    c.fieldsPerSecond = 60000.0 / 1001.0;
    c.compression = "Mpeg";
    c.videoBytesPerSecond = 15.0 * 1000000 / 8;
    c.pPicturesPerI = 4;
    c.bPicturesPerP = 2;
    return c;
}

class RtsRecordModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        RtsMessage open;
        open.form = RtsFourCc("open");
        m_model.Apply(open);
        std::filesystem::create_directories(RuntimePath("media/handles"));
        std::filesystem::create_directories(RuntimePath("volumes/V"));
        m_media = RuntimePath("volumes/V/clip");
        std::ofstream(m_media).flush();
        std::filesystem::create_symlink(m_media, RuntimePath("media/handles/mf0123456789abcdef"));
    }

    // A state message of context 0: its port state and the video states
    // given, with the file opened as the flags say.
    RtsMessage Message(std::uint32_t flags, std::int32_t portState,
                       std::vector<RtsMediaState> states, bool openFor = false, bool write = true,
                       std::int32_t mediaFileType = 11) {
        RtsMessage m;
        m.form = RtsFourCc("sbuf");
        m.hasCtx = true;
        m.ctx.context = 0;
        m.ctx.flags = flags;
        m.ctx.portState = portState;
        m.ctx.speed = 1.0f;
        m.mediaStates = std::move(states);
        if (openFor) {
            m.filesOpened = {kFile};
            m.fileOpens = {{kFile, write, mediaFileType, "mf0123456789abcdef"}};
        }
        return m;
    }
    static RtsMediaState Video(std::int32_t start, std::int32_t media, std::int32_t remaining) {
        return {true, "video 0", start, kFile, media, remaining};
    }
    std::vector<unsigned char> Index() {
        std::ifstream in(m_media + picture_index::kSuffix, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    tmstest::TestRuntimeDir m_dir;
    CRtsChannelModel m_model{MpegChannel()};
    std::string m_media;
};

TEST_F(RtsRecordModelTest, ARecordWritesAFieldOfBytesAndAPictureAFieldFromItsStart) {
    m_model.Apply(Message(kCtxPortState, TmsCueRecord, {Video(0, 0, 0x7FFFFFFF)}, true));
    m_model.Apply(Message(kCtxPortState, TmsShuttleRecord, {}));
    RtsChannelBlock block{};
    m_model.Publish(block);
    EXPECT_EQ(block.contexts[0].triggerStatus, TmsTriggerRunning);
    EXPECT_EQ(block.contexts[0].recordEnd, 0x7FFFFFFF) << "no end: runs without end";

    m_model.Advance(100);
    m_model.Publish(block);
    EXPECT_EQ(block.contexts[0].position, 99) << "the last field recorded";
    EXPECT_EQ(block.contexts[0].recordStart, 0);
    // 100 fields of 31281.25 bytes, fractions carried.
    EXPECT_EQ(std::filesystem::file_size(m_media), 3128125u);
    const std::vector<unsigned char> index = Index();
    ASSERT_EQ(index.size(), picture_index::kHeaderSize + 100 * picture_index::kEntrySize);
    EXPECT_EQ(std::string(index.begin(), index.begin() + 4), "PIX1");
    // I I B B B B P P ...: frames I, B, B, P, B, B, P, B, B, P, B, B, P.
    const std::uint8_t frames[] = {1, 3, 3, 2, 3, 3, 2, 3, 3, 2, 3, 3, 2};
    for (std::size_t field = 0; field < 100; ++field) {
        SCOPED_TRACE(field);
        const std::size_t at = picture_index::kHeaderSize + field * picture_index::kEntrySize;
        EXPECT_EQ(index[at + picture_index::kCoding], frames[(field / 2) % 13]);
        EXPECT_EQ(index[at + picture_index::kStructure], field % 2 == 0 ? 1 : 2);
        const std::uint32_t size = index[at] | index[at + 1] << 8 | index[at + 2] << 16;
        EXPECT_TRUE(size == 31281 || size == 31282) << size;
    }

    // The client sends the port idle: trigger status 4 until revoked.
    m_model.Apply(Message(kCtxPortState, TmsIdle, {}));
    m_model.Publish(block);
    EXPECT_EQ(block.contexts[0].portState, TmsIdle);
    EXPECT_EQ(block.contexts[0].triggerStatus, TmsTriggerEnded);
    EXPECT_EQ(block.contexts[0].position, 99);
    RtsMessage revoke;
    revoke.form = RtsFourCc("cctx");
    revoke.hasCtx = true;
    revoke.ctx.context = 0;
    m_model.Apply(revoke);
    m_model.Publish(block);
    EXPECT_EQ(block.contexts[0].triggerStatus, TmsTriggerNone);
}

// Only the video kinds' files grow at the codec's rate with a picture
// index; audio, timecode and ancillary data at 192000 bytes a second.
TEST_F(RtsRecordModelTest, EachMediaFileTypeGrowsAtItsKindsRate) {
    const struct Row {
        const char* kind;
        std::int32_t mediaFileType;
        bool video;
    } rows[] = {
        {"video, format 0", 11, true}, {"video, 1080i", 16, true}, {"video, 720p", 20, true},
        {"audio 24 bit", 9, false},    {"audio AC3", 17, false},   {"audio data", 19, false},
        {"ancillary data", 21, false}, {"timecode", 24, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        std::filesystem::resize_file(m_media, 0);
        std::filesystem::remove(m_media + picture_index::kSuffix);
        CRtsChannelModel model{MpegChannel()};
        RtsMessage open;
        open.form = RtsFourCc("open");
        model.Apply(open);
        model.Apply(Message(kCtxPortState, TmsCueRecord, {Video(0, 0, 0x7FFFFFFF)}, true, true,
                            row.mediaFileType));
        model.Apply(Message(kCtxPortState, TmsShuttleRecord, {}));
        model.Advance(100);
        // 100 fields of 31281.25 bytes for video, of 3203.2 bytes else.
        EXPECT_EQ(std::filesystem::file_size(m_media), row.video ? 3128125u : 320320u);
        EXPECT_EQ(std::filesystem::exists(m_media + picture_index::kSuffix), row.video);
    }
}

TEST_F(RtsRecordModelTest, AGopOffsetPutsTheFirstIPictureThatManyPicturesIn) {
    m_model.SetGopOffset(3);
    m_model.Apply(Message(kCtxPortState, TmsShuttleRecord, {Video(0, 0, 0x7FFFFFFF)}, true));
    m_model.Advance(30);
    const std::vector<unsigned char> index = Index();
    ASSERT_GE(index.size(), picture_index::kHeaderSize + 30 * picture_index::kEntrySize);
    int firstI = -1;
    for (int field = 0; field < 30 && firstI < 0; ++field) {
        if (index[picture_index::kHeaderSize + field * picture_index::kEntrySize +
                  picture_index::kCoding] == 1) {
            firstI = field;
        }
    }
    EXPECT_EQ(firstI, 3);
}

TEST_F(RtsRecordModelTest, ARecordStopsAtItsMaximumAndAStopAsIdleEndsIt) {
    RtsMessage cue =
        Message(kCtxPortState | kCtxMaxPosition, TmsShuttleRecord, {Video(0, 0, 0x7FFFFFFF)}, true);
    cue.ctx.maxPosition = 9;
    m_model.Apply(cue);
    m_model.Advance(50);
    RtsChannelBlock block{};
    m_model.Publish(block);
    EXPECT_EQ(block.contexts[0].position, 9);
    EXPECT_EQ(block.contexts[0].triggerStatus, TmsTriggerEnded);
    EXPECT_EQ(block.contexts[0].recordEnd, 9);
    EXPECT_EQ(std::filesystem::file_size(m_media) / 31281, 10u);

    // An immediate stop names no port state: the port goes idle.
    m_model.Apply(Message(kCtxStopAsIdle, TmsIdle, {}));
    m_model.Publish(block);
    EXPECT_EQ(block.contexts[0].portState, TmsIdle);
}

TEST_F(RtsRecordModelTest, PlayingPastWhatWasRecordedIsCountedOnce) {
    m_model.Apply(Message(kCtxPortState, TmsShuttleRecord, {Video(0, 0, 0x7FFFFFFF)}, true));
    m_model.Advance(20);  // fields 0 to 19
    RtsMessage close = Message(kCtxPortState, TmsIdle, {});
    close.filesClosed = {kFile};
    m_model.Apply(close);

    // Played from 0: media 0 to 19 are there, 20 is not.
    RtsMessage play = Message(kCtxPortState | kCtxPosition | kCtxSpeed | kCtxPurge, TmsShuttlePlay,
                              {Video(0, 0, 100)}, true, false);
    play.ctx.position = 0;
    m_model.Apply(play);
    m_model.Advance(19);
    EXPECT_EQ(m_model.PlayedPastEnd(), 0u);
    EXPECT_TRUE(m_model.TakeNotes().empty());
    m_model.Advance(1);
    EXPECT_EQ(m_model.PlayedPastEnd(), 1u);
    const auto notes = m_model.TakeNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("played media position 20"), std::string::npos) << notes[0];
    m_model.Advance(5);
    EXPECT_GE(m_model.PlayedPastEnd(), 2u);
    EXPECT_TRUE(m_model.TakeNotes().empty()) << "noted once a file";
}

}  // namespace
