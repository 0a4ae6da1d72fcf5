// What a resource writes into a state message for a state list, against a
// real movie of the timeline component: runs of states per segment and
// offset, black where no segment is, the segment clipped to the window, and
// the media files entered in the context's file map.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/kernel/RuntimeDir.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/errorlog/ErrorLog.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tests/resources/ForwardingMovie.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/context/FileMap.h"
#include "tmschannel/resources/TmsResVideo.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/resources/TmsVfs.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

constexpr long kTrack = 4;

// Logs the state calls instead of writing state chunks.
class CLoggingResource : public CTmsResource {
public:
    CLoggingResource() : CTmsResource(0) {
        m_trackType = kTrack;
        m_typeName = u"video";
        m_indexText = u"0";
    }
    HRESULT PublishStatus(CChanAccess&) override { return S_OK; }
    HRESULT PutStatus(std::uint16_t, const CRtsShmem&, std::int32_t) override { return S_OK; }
    HRESULT AddBlackState(IMovie*, std::int32_t m, std::int32_t p, rts::CStateMessageBuilder&,
                          std::int32_t past, std::int32_t toEnd) override {
        calls.push_back({'B', m, p, past, toEnd, 0});
        return S_OK;
    }
    HRESULT AddState(IMovie*, std::int32_t m, std::int32_t p, bool, bool,
                     const MediaSegmentInfo& segment, rts::CStateMessageBuilder&) override {
        calls.push_back({'S', m, p, segment.start, segment.duration, segment.fileCode});
        return S_OK;
    }

    struct Call {
        char kind;
        std::int32_t m, p, a, b;  // black: past last, to end; state: segment start, duration
        std::uint16_t fileCode;
        bool operator==(const Call& o) const {
            return kind == o.kind && m == o.m && p == o.p && a == o.a && b == o.b;
        }
    };
    std::vector<Call> calls;
};

// The movie as the resource sees it, counting the segment lookups: a writer
// that looks the same state up again and again is stopped with a failure
// instead of spinning.
class CLookupCountingMovie : public tmstest::CForwardingMovie {
public:
    int lookups = 0;
    int lookupLimit = 0;

    HRESULT GetSegmentAtPosition(long t, long n, long p, unsigned short* c) override {
        if (++lookups > lookupLimit) {
            return E_FAIL;
        }
        return movie->GetSegmentAtPosition(t, n, p, c);
    }
};

class ResourceStatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DllRegisterServerAt(TMS_TIMELINE_LIB), S_OK);
        m_movie = tmstest::NewMovie("m");
        ASSERT_NE(m_movie, nullptr);
        // [0,100) media, [100,150) an empty pad, [150,250) media.
        for (auto [length, type] : {std::pair{100L, 4L}, {50L, 0L}, {100L, 4L}}) {
            unsigned short segment = 0;
            ASSERT_EQ(m_movie->AppendSegment(kTrack, 0, 0, length, type, nullptr, &segment), S_OK);
            m_segments.push_back(segment);
        }
    }

    // States at movie positions with the port offset given for each.
    std::vector<StateEntry*> States(std::vector<std::pair<int, int>> positions) {
        m_states.clear();
        std::vector<StateEntry*> list;
        for (auto [m, offset] : positions) {
            m_states.push_back(std::make_unique<StateEntry>());
            m_states.back()->position = {m, m + offset};
            list.push_back(m_states.back().get());
        }
        return list;
    }

    std::vector<CLoggingResource::Call> Write(const std::vector<StateEntry*>& states,
                                              std::int32_t track = 0, bool record = false,
                                              std::vector<BYTE>* bytes = nullptr) {
        CLoggingResource resource;
        CMmioMsg message(rts::kLargeMessageSize);
        rts::CStateMessageBuilder builder(message);
        StateWriteTarget target{m_movie, &builder, &m_files, 0, 299};
        EXPECT_EQ(resource.WriteStates(target, track, record, false, states), S_OK);
        if (bytes != nullptr) {
            const BYTE* b = message.GetBuffer();
            bytes->assign(b, b + message.GetMsgSize());
        }
        return resource.calls;
    }

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IMovie> m_movie;
    std::vector<unsigned short> m_segments;
    // Before the states: a state's references go before the records.
    CFileMap m_files;
    std::vector<std::unique_ptr<StateEntry>> m_states;
};

using Call = CLoggingResource::Call;

TEST_F(ResourceStatesTest, RunsWriteTheirFirstAndLastStateOnly) {
    std::vector<std::pair<int, int>> play;
    for (int m = 0; m < 250; m += 10) {
        play.push_back({m, 1000});
    }
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> states;
        std::int32_t track;
        bool record;
        std::vector<Call> expected;
    };
    const Case cases[] = {
        {"play through media, pad, media",
         play,
         0,
         false,
         {{'S', 0, 1000, 0, 100, 0},
          {'S', 90, 1090, 0, 100, 0},
          {'S', 100, 1100, 100, 50, 0},
          {'S', 140, 1140, 100, 50, 0},
          {'S', 150, 1150, 150, 100, 0},
          {'S', 240, 1240, 150, 100, 0}}},
        {"an offset change starts a new run",
         {{0, 1000}, {10, 1000}, {20, 1000}, {30, 2000}, {40, 2000}},
         0,
         false,
         {{'S', 0, 1000, 0, 100, 0},
          {'S', 20, 1020, 0, 100, 0},
          {'S', 30, 2030, 0, 100, 0},
          {'S', 40, 2040, 0, 100, 0}}},
        {"one state alone", {{50, 7}}, 0, false, {{'S', 50, 57, 0, 100, 0}}},
        {"past the track: black once",
         {{260, 0}, {270, 0}, {280, 0}},
         0,
         false,
         {{'B', 260, 260, 10, 39, 0}}},
        {"no track: every state black, written once",
         {{0, 0}, {10, 0}},
         0x7FFFFFFF,
         false,
         {{'B', 0, 0, 0, 299, 0}}},
        {"a track the movie does not have", {{0, 0}}, 5, false, {{'B', 0, 0, 0, 299, 0}}},
        {"record past the end keeps to the last segment",
         {{260, 0}, {270, 0}, {280, 0}},
         0,
         true,
         {{'S', 260, 260, 150, 100, 0}, {'S', 280, 280, 150, 100, 0}}},
        {"black, then media again",
         {{260, 0}, {10, 0}, {20, 0}},
         0,
         false,
         {{'B', 260, 260, 10, 39, 0}, {'S', 10, 10, 0, 100, 0}, {'S', 20, 20, 0, 100, 0}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Write(States(c.states), c.track, c.record), c.expected) << c.what;
    }
}

// A state whose segment lies, once clipped to the window, entirely or partly
// outside it (states before a start limit, after an end limit) used to be
// looked up again for ever. Each state is now written once, as a segment or
// as black, with at most two lookups.
TEST_F(ResourceStatesTest, StatesOutsideTheirClippedSegmentAreWrittenBlackNotLookedUpForEver) {
    struct Case {
        const char* what;
        std::int32_t windowStart, windowEnd;
        std::vector<std::pair<int, int>> states;
        std::vector<Call> expected;
    };
    const Case cases[] = {
        {"before a start limit inside the first segment",
         50,
         299,
         {{0, 1000}, {20, 1000}, {40, 1000}, {60, 1000}, {80, 1000}},
         {{'B', 0, 1000, -250, 299, 0}, {'S', 60, 1060, 50, 50, 0}, {'S', 80, 1080, 50, 50, 0}}},
        {"a start limit past the whole first segment",
         100,
         299,
         {{0, 0}, {40, 0}, {80, 0}, {160, 0}},
         {{'B', 0, 0, -250, 299, 0}, {'S', 160, 160, 150, 100, 0}}},
        {"after an end limit inside the last segment",
         0,
         179,
         {{160, 0}, {170, 0}, {180, 0}, {190, 0}},
         {{'S', 160, 160, 150, 30, 0}, {'S', 170, 170, 150, 30, 0}, {'B', 180, 180, 0, -1, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto states = States(c.states);
        auto movie = MakeComObject<CLookupCountingMovie>();
        movie->movie = m_movie;
        movie->lookupLimit = 2 * static_cast<int>(states.size());
        CLoggingResource resource;
        CMmioMsg message(rts::kLargeMessageSize);
        rts::CStateMessageBuilder builder(message);
        StateWriteTarget target{movie, &builder, &m_files, c.windowStart, c.windowEnd};
        ASSERT_EQ(resource.WriteStates(target, 0, false, false, states), S_OK);
        EXPECT_LE(movie->lookups, movie->lookupLimit);
        EXPECT_EQ(resource.calls, c.expected);
    }
    for (const auto& [name, file] : m_files) {
        m_files.FreeFileCode(static_cast<std::uint16_t>(file->fileCode));
    }
}

TEST_F(ResourceStatesTest, SegmentsAreClippedToTheWindowAndExistingFilesOpenedForRead) {
    CLoggingResource resource;
    struct Case {
        std::int32_t windowStart, windowEnd;
        int segment;
        std::int32_t start, markIn, markOut, duration;
    };
    const Case cases[] = {
        {0, 299, 0, 0, 0, 99, 100},  {20, 299, 0, 20, 20, 99, 80}, {0, 49, 0, 0, 0, 49, 50},
        {20, 49, 0, 20, 20, 49, 30}, {0, 199, 2, 150, 0, 49, 50},  {99, 99, 0, 99, 99, 99, 1},
    };
    for (const auto& c : cases) {
        MediaSegmentInfo info;
        ASSERT_EQ(resource.GetMediaSegmentInfo(m_movie, kTrack, 0, m_segments[c.segment],
                                               c.windowStart, c.windowEnd, &info),
                  S_OK);
        EXPECT_EQ(info.start, c.start) << c.windowStart << ".." << c.windowEnd;
        EXPECT_EQ(info.markIn, c.markIn) << c.windowStart << ".." << c.windowEnd;
        EXPECT_EQ(info.markOut, c.markOut) << c.windowStart << ".." << c.windowEnd;
        EXPECT_EQ(info.duration, c.duration) << c.windowStart << ".." << c.windowEnd;
        EXPECT_EQ(info.fileType, c.segment == 1 ? 0 : 4);
    }
    // Another context meets a file the first one created: opened for read.
    MediaSegmentInfo info;
    ASSERT_EQ(resource.GetMediaSegmentInfo(m_movie, kTrack, 0, m_segments[0], 0, 299, &info), S_OK);
    MediaFileInfo* file = nullptr;
    ASSERT_EQ(resource.UpdateFileState(m_files, &file, info), S_OK);
    CFileMap other;
    MediaFileInfo* otherFile = nullptr;
    ASSERT_EQ(resource.UpdateFileState(other, &otherFile, info), S_OK);
    EXPECT_EQ(file->writeFlag, 1);
    EXPECT_EQ(otherFile->writeFlag, 0);
    EXPECT_NE(file->fileCode, otherFile->fileCode) << "codes are unique across contexts";
    EXPECT_EQ(info.fileCode, otherFile->fileCode);
    MediaSegmentInfo pad;
    ASSERT_EQ(resource.GetMediaSegmentInfo(m_movie, kTrack, 0, m_segments[1], 0, 299, &pad), S_OK);
    MediaFileInfo* none = nullptr;
    EXPECT_EQ(resource.UpdateFileState(m_files, &none, pad), S_FALSE);
    EXPECT_EQ(none, nullptr);
    m_files.FreeFileCode(static_cast<std::uint16_t>(file->fileCode));
    other.FreeFileCode(static_cast<std::uint16_t>(otherFile->fileCode));
}

TEST_F(ResourceStatesTest, MediaFileFailuresReturnTheirOwnCodesAndCloseWhatWasOpened) {
    CLoggingResource resource;
    const std::string handles = RuntimePath("media/handles");
    auto openHandles = [&] {
        std::size_t n = 0;
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(handles, ec);
             !ec && it != std::filesystem::directory_iterator(); ++it) {
            ++n;
        }
        return n;
    };
    auto segment = [](const std::string& name) {
        MediaSegmentInfo info;
        info.complexMediaName = name;
        info.segmentName = "clip";
        info.fileType = 4;
        return info;
    };
    // A folder where the media file should be cannot be opened for read.
    std::filesystem::create_directories(TmsVfs().VolumePath(0) + "/folder");
    struct Row {
        const char* name;
        std::string media;
        HRESULT expected;
        std::string message;
    };
    const Row rows[] = {
        {"cannot create", "V:/../outside", static_cast<HRESULT>(0x8004301C),
         "Failed to create media file 'V:/../outside': err = 0x57"},
        {"cannot open", "V:/folder", static_cast<HRESULT>(0x8004301B),
         "Failed to get media file handle name on 'V:/folder': err = 0x2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MediaSegmentInfo info = segment(row.media);
        MediaFileInfo* file = nullptr;
        EXPECT_EQ(resource.UpdateFileState(m_files, &file, info), row.expected);
        // The failure is logged with the component's message, the system
        // error code of the file system's failure as its value.
        EXPECT_NE(tmstest::ReadFileText(ErrorLogPath()).find(row.message), std::string::npos);
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(m_files.Size(), 0u);
    }

    // Every file code taken: the handle opened for the new file is closed
    // again, and the empty file made for it removed. Left on disk, the next
    // attempt opened it for reading and the record went out as a play.
    CFileMap hog;
    std::vector<std::uint16_t> taken;
    for (std::uint16_t code = 0; hog.AllocateFileCode(&code) == S_OK;) {
        taken.push_back(code);
    }
    const std::size_t before = openHandles();
    const std::string onDisk = TmsVfs().VolumePath(0) + "/new-record";
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        MediaSegmentInfo info = segment("V:/new-record");
        MediaFileInfo* file = nullptr;
        EXPECT_TRUE(FAILED(resource.UpdateFileState(m_files, &file, info)));
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(m_files.Size(), 0u);
        EXPECT_EQ(openHandles(), before);
        EXPECT_FALSE(std::filesystem::exists(onDisk)) << "the file the failed call made is gone";
    }
    for (const std::uint16_t code : taken) {
        hog.FreeFileCode(code);
    }
    MediaSegmentInfo info = segment("V:/new-record");
    MediaFileInfo* file = nullptr;
    ASSERT_EQ(resource.UpdateFileState(m_files, &file, info), S_OK);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->writeFlag, 1) << "created for the record, not opened for a play";
    EXPECT_TRUE(std::filesystem::exists(onDisk));
    m_files.FreeFileCode(static_cast<std::uint16_t>(file->fileCode));
}

// A file that was on disk before the call stays when the call fails.
TEST_F(ResourceStatesTest, AFailedCallLeavesAMediaFileThatWasAlreadyThere) {
    CLoggingResource resource;
    MediaSegmentInfo first;
    first.complexMediaName = "V:/kept";
    first.segmentName = "clip";
    first.fileType = 4;
    CFileMap earlier;
    MediaFileInfo* kept = nullptr;
    ASSERT_EQ(resource.UpdateFileState(earlier, &kept, first), S_OK);
    CFileMap hog;
    std::vector<std::uint16_t> taken;
    for (std::uint16_t code = 0; hog.AllocateFileCode(&code) == S_OK;) {
        taken.push_back(code);
    }
    MediaSegmentInfo again = first;
    MediaFileInfo* file = nullptr;
    EXPECT_TRUE(FAILED(resource.UpdateFileState(m_files, &file, again)));
    EXPECT_TRUE(std::filesystem::exists(TmsVfs().VolumePath(0) + "/kept"));
    for (const std::uint16_t code : taken) {
        hog.FreeFileCode(code);
    }
    earlier.FreeFileCode(static_cast<std::uint16_t>(kept->fileCode));
}

TEST_F(ResourceStatesTest, AVideoRecordStartingWritesItsMediaDataToTheLastSegment) {
    ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK);
    CComPtr<IXMLDOMDocument2> doc;
    ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IXMLDOMDocument2, reinterpret_cast<void**>(&doc)),
              S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(doc->loadXML(CBstr("<Config><System><SystemVideoReference referenceStandard="
                                 "\"Format525_60Hz_2To1\"/></System><Board id=\"B0\"/>"
                                 "<VideoInput id=\"In\" videoInputFormat=\"Format525_60Hz_2To1\"/>"
                                 "<VideoCodec id=\"Co\" compressionFormat=\"Mpeg\"/>"
                                 "<Channel id=\"Chan1\" channelIndex=\"0\"><Video index=\"0\" "
                                 "assigned=\"true\"><VideoInputComponent id=\"In\"/>"
                                 "<VideoCodecComponent id=\"Co\"/></Video></Channel></Config>"),
                           &ok),
              S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
    CComPtr<IXMLDOMNode> element;
    ASSERT_EQ(doc->selectSingleNode(CBstr("./Config/Channel/Video"), &element), S_OK);
    CTmsResVideo video(0);
    ASSERT_EQ(video.InitFromConfig(doc, element), S_OK);
    ASSERT_EQ(video.TrackType(), kTrack);

    BYTE before[48] = {};
    ASSERT_EQ(m_movie->GetSegmentMediaData(kTrack, 0, m_segments[2], 0, 48, before), S_OK);
    // Changes that do not start a record write nothing.
    ASSERT_EQ(video.HandlePortStateChange(m_movie, 0, 0, TmsCuePlay, TmsShuttlePlay), S_OK);
    ASSERT_EQ(video.HandlePortStateChange(m_movie, 0, 0, TmsShuttleRecord, TmsShuttleRecord), S_OK);
    BYTE block[48] = {};
    ASSERT_EQ(m_movie->GetSegmentMediaData(kTrack, 0, m_segments[2], 0, 48, block), S_OK);
    EXPECT_EQ(std::memcmp(block, before, 48), 0);

    ASSERT_EQ(video.HandlePortStateChange(m_movie, 0, 0, TmsCueRecord, TmsShuttleRecord), S_OK);
    ASSERT_EQ(m_movie->GetSegmentMediaData(kTrack, 0, m_segments[2], 0, 48, block), S_OK);
    BYTE expected[48] = {};
    video.GetMediaData(expected);
    EXPECT_EQ(std::memcmp(block, expected, 48), 0);
    ASSERT_EQ(m_movie->GetSegmentMediaData(kTrack, 0, m_segments[0], 0, 48, block), S_OK);
    EXPECT_NE(std::memcmp(block, expected, 48), 0) << "only the last segment";
}

}  // namespace
