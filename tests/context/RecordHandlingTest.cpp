// Record handling of a context on a stand-in recorder channel: the mark out
// following the record position, the end of a record, continuous record's
// segments and mark in, the I-picture check of a fresh MPEG segment, a
// follower of a gang leaving its video to the leader, and the bytes of the
// first state message of a record. Figures are worked out from the record
// offset, the segment duration S and the length kept L, and the message
// tables, not read back from the code.
#include <filesystem>
#include <fstream>

#include "server/appserverutil/PictureIndex.h"
#include "tests/context/RecorderFixture.h"
#include "tests/resources/ConfigDocument.h"
#include "tmschannel/resources/TmsResAncData.h"
#include "tmschannel/resources/TmsResGpi.h"
#include "tmschannel/resources/TmsResTimecode.h"
#include "tmschannel/resources/TmsVfs.h"

namespace {

using tmstest::Golden;
using tmstest::LoggedSince;
using tmstest::SentChunk;
using tmstest::WordAt;

constexpr std::uint32_t kPortStateFlag = 0x0004;
constexpr std::uint32_t kPositionFlag = 0x0008;
constexpr std::uint32_t kEndLimitFlag = 0x400000;

class RecordHandlingTest : public tmstest::RecorderFixture {
protected:
    // Cue record at 0 on an open-ended timeline, then record: the movie is
    // under construction from the first update on.
    void StartRecord(std::int32_t recordOffset) {
        const std::int32_t length = MovieI4("length");
        ASSERT_EQ(Apply(Change(kPortStateFlag | kPositionFlag | kEndLimitFlag, TmsCueRecord, 0.0f,
                               0, length)
                            .U32(92, 0x7FFFFFFF)
                            .U32(100, static_cast<std::uint32_t>(recordOffset))),
                  S_OK);
        ASSERT_EQ(Apply(Change(kPortStateFlag, TmsShuttleRecord, 0.0f, 0, length)
                            .U32(100, static_cast<std::uint32_t>(recordOffset))),
                  S_OK);
    }
    // The media file of the first video segment, as the volume holds it.
    std::string FirstVideoFile() {
        unsigned short code = 0;
        EXPECT_EQ(m_movie->GetSegmentAtPosition(kVideoTrack, 0, 0, &code), S_OK);
        long type = 0, in = 0, out = 0, duration = 0;
        CBstr name;
        EXPECT_EQ(m_movie->GetSegmentDescription(kVideoTrack, 0, code, &type, &name, &in, &out,
                                                 &duration),
                  S_OK);
        std::string error;
        return TmsVfs().MediaPath(name.ToUtf8(), &error);
    }
    // A picture index of the codings given, one entry per field.
    static void WritePictureIndex(const std::string& media,
                                  const std::vector<std::uint8_t>& codes) {
        std::ofstream out(media + picture_index::kSuffix, std::ios::binary | std::ios::trunc);
        out.write(picture_index::kMagic, sizeof picture_index::kMagic);
        for (std::uint8_t coding : codes) {
            unsigned char entry[picture_index::kEntrySize] = {};
            entry[picture_index::kSize] = 0x10;
            entry[picture_index::kCoding] = coding;
            entry[picture_index::kStructure] = 1;
            out.write(reinterpret_cast<const char*>(entry), sizeof entry);
        }
    }
    long MediaOutAt(std::int32_t position) {
        unsigned short code = 0;
        EXPECT_EQ(m_movie->GetSegmentAtPosition(kVideoTrack, 0, position, &code), S_OK);
        long type = 0, in = 0, out = 0, duration = 0;
        CBstr name;
        EXPECT_EQ(m_movie->GetSegmentDescription(kVideoTrack, 0, code, &type, &name, &in, &out,
                                                 &duration),
                  S_OK);
        return out;
    }
};

TEST_F(RecordHandlingTest, MarkOutFollowsTheRecordPositionAndTheStopMakesTheMovieFinal) {
    // Record offset 50: position 0 marks out at 50, a later position p at
    // 50 + p + 1.
    struct Row {
        std::int32_t position;
        std::int32_t markOut;
    } rows[] = {{0, 50}, {100, 151}, {2399, 2450}};
    AppendVideo(1, 2400);
    StartRecord(50);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.position);
        ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, row.position), S_OK);
        EXPECT_EQ(MovieI4("markOut"), row.markOut);
        EXPECT_TRUE(MovieBool("underConstruction"));
    }
    // The RTS goes idle after field 2400: the record ends there, final.
    ASSERT_EQ(Update(TmsTriggerEnded, TmsIdle, 2400), S_OK);
    EXPECT_FALSE(MovieBool("underConstruction"));
    EXPECT_EQ(MovieI4("markOut"), 2451);
    EXPECT_EQ(MovieI4("maxLength"), 2451 - MovieI4("markIn"));
}

TEST_F(RecordHandlingTest, RecordUpdatesComeOncePerSecondOfTheChannelClock) {
    AppendVideo(1, 2400);
    StartRecord(0);
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 100), S_OK);
    ASSERT_EQ(MovieI4("markOut"), 101);
    // 999 ms later: not yet; 1 ms more: due.
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 160, 0.0f, -1, 999), S_OK);
    EXPECT_EQ(MovieI4("markOut"), 101);
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 220, 0.0f, -1, 1), S_OK);
    EXPECT_EQ(MovieI4("markOut"), 221);
}

// Regression: a record begun within a second of its context's last record
// update waited for the second to pass, so a short one was never updated
// while the RTS still reported the timecode captured at its start.
TEST_F(RecordHandlingTest, ARecordsFirstReportUpdatesItsMovieHoweverSoonAfterTheLastRecord) {
    AppendVideo(1, 2400);
    StartRecord(0);
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 100), S_OK);
    ASSERT_EQ(Update(TmsTriggerEnded, TmsIdle, 120, 0.0f, -1, 1), S_OK);
    ASSERT_EQ(MovieI4("markOut"), 121);
    StartRecord(0);
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 30, 0.0f, -1, 1), S_OK);
    EXPECT_EQ(MovieI4("markOut"), 31) << "the first report of the record";
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 40, 0.0f, -1, 1), S_OK);
    EXPECT_EQ(MovieI4("markOut"), 31) << "later ones once a second again";
}

TEST_F(RecordHandlingTest, ContinuousRecordAddsSegmentsAndMovesTheMarkIn) {
    // S = 1800, L = 10800. A segment is added once fewer than S - 1200 =
    // 600 fields remain before the end of the movie's tracks; past the early
    // phase (tracks of at least L + 2S = 14400) the mark in moves to keep
    // ((L - 1 + S) / S) * S = 10800 of the recorded ((out - in) / S) * S.
    struct Row {
        const char* name;
        std::int32_t segment;
        int segments;  // of S before the update
        std::int32_t position;
        bool suspended;
        int added;
        std::int32_t markIn;
    } rows[] = {
        {"601 fields left", 1800, 12, 21599 - 600, false, 0, 0},
        {"600 fields left", 1800, 12, 21600 - 600, false, 0, 0},
        {"599 left: a segment, mark in 19800 - 10800", 1800, 12, 21600 - 599, false, 1, 9000},
        {"suspended: a segment, the mark in stays", 1800, 12, 21600 - 599, true, 1, 0},
        {"early phase: a segment, the mark in stays", 1800, 7, 12600 - 599, false, 1, 0},
        // S = 600: added only past the end by more than 1200 - 600.
        {"S 600, 600 past the end", 600, 36, 21600 + 600, false, 0, 0},
        // Mark out 22202: recorded (22202 / 600) * 600 = 22200.
        {"S 600, 601 past the end", 600, 36, 21600 + 601, false, 1, 22200 - 10800},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext(("row" + std::to_string(n++)).c_str());
        ContinuousRecord(row.segment, row.suspended);
        AppendVideo(row.segments, row.segment);
        StartRecord(0);
        ASSERT_EQ(m_movie->SetMarks(0, 20000, 2, FALSE), S_OK);
        ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, row.position), S_OK);
        EXPECT_EQ(VideoSegments(), row.segments + row.added);
        EXPECT_EQ(MovieI4("markIn"), row.markIn);
        EXPECT_EQ(MovieI4("markOut"), row.position + 1);
    }
}

TEST_F(RecordHandlingTest, AnMpegSegmentStartingBeforeItsIPictureIsLengthened) {
    // The segment recorded at the position when continuous record adds the
    // next one: its first I picture at offset 3 lengthens it by 3; with no
    // I picture at all it is left as it was and the record goes on.
    struct Row {
        const char* name;
        int iAt;  // -1: none
        long lengthened;
        const char* logged;
    } rows[] = {
        {"I picture first", 0, 0, nullptr},
        {"I picture at 3", 3, 3,
         "Warning: video segment does not start with an I-frame -- lengthening segments by 3 "
         "fields to compensate."},
        {"no I picture", -1, 0,
         "Chan2: I-frame not found before segment end -- video file may be corrupt;"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext(("row" + std::to_string(n++)).c_str());
        ContinuousRecord(1800);
        AppendVideo(1, 1800);
        StartRecord(0);
        ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 100), S_OK);
        const std::string media = FirstVideoFile();
        ASSERT_TRUE(std::filesystem::exists(media)) << media;
        std::vector<std::uint8_t> codes(1800, 2);
        if (row.iAt >= 0) {
            codes[static_cast<std::size_t>(row.iAt)] = 1;
        }
        WritePictureIndex(media, codes);
        const long before = MediaOutAt(1500);
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 1500), S_OK);
        EXPECT_EQ(VideoSegments(), 2) << "the record goes on";
        EXPECT_EQ(MediaOutAt(1500), before + row.lengthened);
        if (row.logged != nullptr) {
            EXPECT_TRUE(LoggedSince(seen, row.logged));
        } else {
            EXPECT_FALSE(LoggedSince(seen, "I-frame"));
        }
    }
}

TEST_F(RecordHandlingTest, APictureIndexShorterThanTheSegmentFailsTheCheckNotTheRecord) {
    ContinuousRecord(1800);
    AppendVideo(1, 1800);
    StartRecord(0);
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 100), S_OK);
    WritePictureIndex(FirstVideoFile(), {2, 2});  // two P pictures, then nothing
    const std::size_t seen = tmstest::ReadLog().size();
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 1500), S_OK);
    EXPECT_TRUE(LoggedSince(seen, "Chan2: GetPictureStatus() returned failure (offset=2)"));
    EXPECT_EQ(VideoSegments(), 2);
}

// Timecode, ancillary-data and GPI resources beside the fixture's video, each
// with material on its track (the GPI output fires at the window start).
std::vector<std::shared_ptr<CTmsResource>> FollowerExtraResources(IMovie* movie) {
    CComPtr<IXMLDOMDocument2> doc = tmstest::LoadConfig(
        "<Config><System><SystemVideoReference referenceStandard=\"Format525_60Hz_2To1\"/>"
        "</System><VideoInput id=\"In\" videoInputFormat=\"Format525_60Hz_2To1\"/>"
        "<TcGenerator id=\"G\" genMode=\"FreeRun\" genFixedTimecode=\"0\" genUserBits=\"0\"/>"
        "<TcCodec id=\"C\" currentTcInput=\"Ltc\"/><AncDataCodec id=\"A\" fieldsPerRiff=\"2\"/>"
        "<GpiOutput id=\"O\" controlIndex=\"3\" controller=\"trigger\" triggerName=\"\" "
        "triggerAt=\"start\" triggerOffset=\"00:00:00:00\"/>"
        "<Channel id=\"Chan2\" channelIndex=\"1\" channelType=\"Recorder\">"
        "<Video index=\"0\"><VideoInputComponent id=\"In\"/></Video>"
        "<Timecode index=\"0\" assigned=\"true\"><TcGeneratorComponent id=\"G\"/>"
        "<TcCodecComponent id=\"C\"/></Timecode>"
        "<AncData index=\"0\" assigned=\"true\"><AncDataCodecComponent id=\"A\"/></AncData>"
        "<Gpi index=\"0\"><GpiOutputComponent id=\"O\"/></Gpi></Channel></Config>");
    auto timecode = std::make_shared<CTmsResTimecode>(0);
    auto anc = std::make_shared<CTmsResAncData>(0);
    auto gpi = std::make_shared<CTmsResGpi>(0);
    EXPECT_EQ(timecode->InitFromConfig(doc, tmstest::SelectNode(doc, "//Timecode")), S_OK);
    EXPECT_EQ(anc->InitFromConfig(doc, tmstest::SelectNode(doc, "//AncData")), S_OK);
    EXPECT_EQ(gpi->InitFromConfig(doc, tmstest::SelectNode(doc, "//Gpi")), S_OK);
    for (const CTmsResource* r :
         {static_cast<CTmsResource*>(timecode.get()), static_cast<CTmsResource*>(anc.get())}) {
        unsigned short segment = 0;
        EXPECT_EQ(movie->AppendSegment(r->TrackType(), 0, 0, 2400, r->EncodeFileType(), nullptr,
                                       &segment),
                  S_OK);
    }
    return {timecode, anc, gpi};
}

TEST_F(RecordHandlingTest, AFollowerWithMappedAudioWritesOnlyBlackAndFiresNoGpiOutput) {
    // Gang order 1 (configuration), ganged, audio offset 2, video offset 0:
    // the leader plays the video, timecode, ancillary data and GPI outputs;
    // the follower plays black there and fires no output.
    AppendVideo(1, 2400);
    for (const auto& r : FollowerExtraResources(m_movie)) {
        m_channel.resources.push_back(r);
    }
    ASSERT_EQ(m_context->SetProperty("gangedctx", CVariant(true).GetVARIANT()), S_OK);
    ASSERT_EQ(m_context->SetProperty("mappedaudiooffset", CVariant(2).GetVARIANT()), S_OK);
    ASSERT_EQ(Apply(Change(kPortStateFlag | kPositionFlag, TmsCuePlay, 0.0f, 0, 2400)), S_OK);
    int videoStates = 0, trackStates = 0, resourceLists = 0;
    for (const auto& m : m_channel.messages) {
        std::vector<SentChunk> chunks;
        tmstest::ChunksOf(m, 0, m.size(), &chunks);
        for (const SentChunk& c : chunks) {
            EXPECT_NE(c.id, "fr  ") << "no media file for a redundant resource";
            EXPECT_NE(c.id, "gpi ") << "a follower fires no GPI output";
            if (c.id == "res ") {
                ++resourceLists;
            }
            if (c.id == "vid ") {
                ++videoStates;
                EXPECT_EQ(WordAt(m, c.body + 4) & 0xFFFF, 0u) << "black: no file code";
            }
            if (c.id == "tc  " || c.id == "ancd") {
                ++trackStates;
                EXPECT_EQ(WordAt(m, c.body + 4), 0u) << c.id << ": black, no file code";
            }
        }
    }
    EXPECT_GT(videoStates, 0);
    EXPECT_GT(trackStates, 0);
    EXPECT_GE(resourceLists, 4) << "every resource still writes its list";
}

TEST_F(RecordHandlingTest, TheFirstMessagesOfARecordCarryTheFileToWriteAndItsStates) {
    // On an empty timeline with no end: the cue record sends black, the
    // record start adds the first segment (continuous record) and writes
    // the states anew with the media file it creates.
    ContinuousRecord(1800);
    StartRecord(0);
    const std::size_t before = m_channel.messages.size();
    ASSERT_EQ(Update(TmsTriggerRunning, TmsShuttleRecord, 0), S_OK);
    ASSERT_GE(m_channel.messages.size(), before + 2);
    const std::vector<BYTE> files = m_channel.messages[before];
    const std::vector<BYTE> states = m_channel.messages[before + 1];

    // The handle name the volume published for the new file.
    std::string handle;
    for (const auto& e : std::filesystem::directory_iterator(m_dir.Path() + "/media/handles")) {
        handle = e.path().filename().string();
    }
    ASSERT_EQ(handle.size(), 18u);
    const std::int32_t changeId = LastChangeId();

    // "sbuf": "ctx " (56, flags 0, the current change id), LIST "file" with
    // one "fw  " (264: file code 1, media file type 11 for MPEG at 525
    // lines, the handle name).
    Golden f(12 + 8 + 56 + 12 + 8 + 264);
    f.Text(0, "RIFF").U32(4, static_cast<std::uint32_t>(f.Bytes().size() - 8)).Text(8, "sbuf");
    f.Text(12, "ctx ")
        .U32(16, 56)
        .U32(20, 0)
        .U32(24, 0)
        .U32(28, static_cast<std::uint32_t>(changeId));
    f.Text(76, "LIST").U32(80, 4 + 8 + 264).Text(84, "file");
    f.Text(88, "fw  ").U32(92, 264).U16(96, 1).U32(100, 11).Text(104, handle.c_str());
    EXPECT_EQ(files, f.Bytes());

    // "sbuf": "ctx " with flags marks | purge (0x0600), the record state and
    // its limits; LIST "rbuf" with "res " (72: "0", "video") and the first
    // "vid " (32): start 0, file code 1, media position 0, remaining
    // 0x7FFFFFFF - 0 (an open-ended record), offset 0, flags 2 + 64 (MPEG,
    // 4:3).
    ASSERT_GE(states.size(), 12u + 64 + 12 + 80 + 40);
    Golden s(std::vector<std::uint8_t>(states.begin(), states.begin() + 12 + 64 + 12 + 80 + 40));
    Golden e(12 + 64 + 12 + 80 + 40);
    e.Text(0, "RIFF").U32(4, static_cast<std::uint32_t>(states.size() - 8)).Text(8, "sbuf");
    e.Text(12, "ctx ").U32(16, 56);
    e.U32(20, 0).U32(24, 0x0600).U32(28, static_cast<std::uint32_t>(changeId)).U32(32, 1);
    e.U32(40, TmsShuttleRecord).U32(44, 0).U32(48, 0).U32(52, 0x7FFFFFFF);
    e.U32(56, 3).U32(60, 3).U32(64, 0).U32(68, WordAt(states, 68)).U32(72, WordAt(states, 72));
    e.Text(76, "LIST").U32(80, WordAt(states, 80)).Text(84, "rbuf");
    e.Text(88, "res ").U32(92, 72).Text(96, "0").Text(132, "video");
    e.Text(168, "vid ").U32(172, 32).U32(176, 0).U16(180, 1).U32(184, 0).U32(192, 0x7FFFFFFF);
    e.U32(196, 0).U16(202, 66);
    EXPECT_EQ(s.Bytes(), e.Bytes());
}

}  // namespace
