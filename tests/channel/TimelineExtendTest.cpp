// Extending a movie for a record through the channel, against the timeline
// component: a start past mark in, which cuts or pads the tracks to the start
// before the record segments go on, and the pads that keep the tracks this
// channel does not record on level with the ones it does.
//
// Chan2 records on video (track type 4, track 0), audio (type 2, tracks 0 to
// 3), timecode (type 3, track 0) and ancillary data (type 9, track 0). Every
// expectation below is a track's segments in order: "M<fields>" for a
// segment naming media (file type other than 0), "P<fields>" for an empty
// pad.
#include <string>
#include <vector>

#include "platform/com/VariantArray.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/ITimelineControl.h"
#include "tests/channel/ContextFixture.h"
#include "tests/frame/LogLines.h"

namespace {

constexpr long kAudio = 2;
constexpr long kMpegSd = 4;
constexpr long kTimecode = 3;
constexpr long kAncData = 9;
constexpr long kPadVideo = 10;

// The segments of a track, first to last ("" when it has none).
std::string Shape(IMovie* movie, long type, long track) {
    std::vector<std::string> parts;
    for (long fromEnd = -1;; --fromEnd) {
        unsigned short code = 0;
        const HRESULT hr = movie->GetLastSegment(type, track, 0, fromEnd, &code);
        EXPECT_TRUE(SUCCEEDED(hr));
        if (hr != S_OK) {
            break;
        }
        long fileType = 0, in = 0, out = 0, duration = 0;
        CBstr name;
        EXPECT_EQ(
            movie->GetSegmentDescription(type, track, code, &fileType, &name, &in, &out, &duration),
            S_OK);
        parts.insert(parts.begin(), (fileType != 0 ? "M" : "P") + std::to_string(duration));
    }
    std::string text;
    for (const auto& p : parts) {
        text += (text.empty() ? "" : " ") + p;
    }
    return text;
}

struct Marks {
    std::int32_t in = 0;
    std::int32_t out = 0;
    std::int32_t maxLength = 0;
};

Marks MarksOf(IMovie* movie) {
    CVariant read;
    EXPECT_EQ(movie->GetProperties(CBstr("markIn+markOut+maxLength"), read.GetAddress()), S_OK);
    const auto v = ReadVariantArray(read.GetVARIANT());
    if (v.size() != 3) {
        ADD_FAILURE() << "the movie gave " << v.size() << " of 3 properties";
        return {};
    }
    return {v[0].ToInt32(), v[1].ToInt32(), v[2].ToInt32()};
}

// A track of the given shape, built segment by segment; "" leaves an
// existing track with no segment.
void Build(IMovie* movie, long type, long track, const std::string& shape) {
    unsigned short code = 0;
    if (shape.empty()) {
        ASSERT_EQ(movie->AppendSegment(type, track, 0, 10, 0, nullptr, &code), S_OK);
        ASSERT_EQ(movie->RemoveSegment(type, track, code), S_OK);
        return;
    }
    std::size_t at = 0;
    while (at < shape.size()) {
        const std::size_t space = std::min(shape.find(' ', at), shape.size());
        const long fileType = shape[at] == 'M' ? type : 0;
        const long length = std::stol(shape.substr(at + 1, space - at - 1));
        ASSERT_EQ(movie->AppendSegment(type, track, 0, length, fileType, nullptr, &code), S_OK);
        at = space + 1;
    }
}

}  // namespace

class TimelineExtendTest : public tmstest::ContextFixture {
protected:
    // Chan2 with no audio or timecode path: the tracks of those kinds are
    // all ones the channel pads.
    void BeforeOpen() override { RemoveAudioAndTimecode("Chan2"); }

protected:
    // A movie recorded once: 100 fields on the record track, the marks as
    // a record leaves them (maxLength markOut - markIn).
    CComPtr<IUnknown> Recorded(const char* name, std::int32_t markIn = 0,
                               std::int32_t markOut = 100) {
        CComPtr<IUnknown> timeline;
        Create(name, true, 100, &timeline);
        if (timeline != nullptr) {
            EXPECT_EQ(MovieOf(timeline)->SetMarks(markIn, markOut, 3, TRUE), S_OK);
        }
        return timeline;
    }
};

TEST_F(TimelineExtendTest, AStartPastMarkInCutsOrPadsTheRecordTrackToIt) {
    ASSERT_EQ(VideoTrackType(), kMpegSd);
    struct Case {
        const char* name;
        std::int32_t markIn, markOut;
        std::int32_t earlierStart;  // an extension before, -1 for none
        std::int32_t start, length;
        const char* track;  // the record track after
        std::int32_t maxLength;
    };
    const Case cases[] = {
        // Start inside the recorded segment: it is cut back to the start.
        {"inside", 0, 100, -1, 30, 40, "M30 M40", 70},
        {"at the first field", 0, 100, -1, 1, 40, "M1 M40", 41},
        {"at the end", 0, 100, -1, 100, 40, "M100 M40", 140},
        {"past the end", 0, 100, -1, 130, 40, "M100 P30 M40", 170},
        {"a length of zero", 0, 100, -1, 130, 0, "M100 P30 M0", 130},
        // The start counts from mark in; maxLength too.
        {"mark in 20, inside", 20, 100, -1, 30, 40, "M50 M40", 70},
        {"mark in 20, past the end", 20, 100, -1, 100, 40, "M100 P20 M40", 140},
        // Over a movie extended before (M100 M40): segments past the start go.
        {"into the earlier segment", 0, 100, 100, 120, 25, "M100 M20 M25", 145},
        {"at the earlier boundary", 0, 100, 100, 100, 25, "M100 M25", 125},
        {"before the earlier segment", 0, 100, 100, 50, 25, "M50 M25", 75},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "start" + std::to_string(row++);
        CComPtr<IUnknown> timeline = Recorded(name.c_str(), c.markIn, c.markOut);
        ASSERT_NE(timeline, nullptr);
        CComPtr<IMovie> movie = MovieOf(timeline);
        if (c.earlierStart >= 0) {
            ASSERT_EQ(m_channel->ExtendTimeline(timeline, c.earlierStart, 40), S_OK)
                << LastErrorText();
            ASSERT_EQ(Shape(movie, kMpegSd, 0), "M100 M40");
            ASSERT_EQ(movie->SetMarks(c.markIn, c.markOut, 3, TRUE), S_OK);
        }
        ASSERT_EQ(m_channel->ExtendTimeline(timeline, c.start, c.length), S_OK) << LastErrorText();
        EXPECT_EQ(Shape(movie, kMpegSd, 0), c.track);
        const Marks m = MarksOf(movie);
        EXPECT_EQ(m.in, c.markIn) << "a start past mark in leaves the marks";
        EXPECT_EQ(m.out, c.markOut);
        EXPECT_EQ(m.maxLength, c.maxLength);
        // The new segment names media of the video's encode file type.
        unsigned short code = 0;
        ASSERT_EQ(movie->GetLastSegment(kMpegSd, 0, 0, -1, &code), S_OK);
        long fileType = 0, in = 0, out = 0, duration = 0;
        CBstr media;
        ASSERT_EQ(
            movie->GetSegmentDescription(kMpegSd, 0, code, &fileType, &media, &in, &out, &duration),
            S_OK);
        EXPECT_EQ(fileType, kMpegSd);
        EXPECT_EQ(duration, c.length);
    }
}

TEST_F(TimelineExtendTest, ACrashedMovieIsRepairedBeforeTheStartIsApplied) {
    CComPtr<IUnknown> timeline = Recorded("crashed", 0, 60);
    ASSERT_NE(timeline, nullptr);
    CComPtr<ITimelineControl> control;
    ASSERT_EQ(timeline->QueryInterface(IID_ITimelineControl, reinterpret_cast<void**>(&control)),
              S_OK);
    // A record that extended the movie to 100 and never set its marks.
    ASSERT_EQ(control->Extend(0, 100, 100, 0), S_OK);
    ASSERT_EQ(m_channel->ExtendTimeline(timeline, 30, 40), S_OK) << LastErrorText();
    bool logged = false;
    for (const auto& r : tmstest::ReadLog()) {
        logged = logged || r.text.find(
                               "Chan2: ExtendTimeline: repairing crashed movie, len=100, "
                               "len between marks=60") != std::string::npos;
    }
    EXPECT_TRUE(logged);
    CComPtr<IMovie> movie = MovieOf(timeline);
    EXPECT_EQ(Shape(movie, kMpegSd, 0), "M30 M40");
    const Marks m = MarksOf(movie);
    EXPECT_EQ(m.in, 0);
    EXPECT_EQ(m.out, 60);
    EXPECT_EQ(m.maxLength, 70);
}

// Chan2 records on no audio or timecode track, so every such track of the
// movie is one it pads. The record track ends at 170 after
// a start of 130 and a length of 40, and at 140 after a start of 0: every
// other track ends there too, in whatever its last segment was (a start
// past it first pads to the start, then to the end).
TEST_F(TimelineExtendTest, OtherTracksLeftShortOfTheRecordArePaddedLevel) {
    struct Case {
        const char* name;
        std::int32_t start;
        long type;
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"media short of the start", 130, kAudio, "M100", "M100 P30 P40"},
        {"media past the start", 130, kAudio, "M160", "M130 P40"},
        {"media ending on the start", 130, kAudio, "M50 M80", "M50 M80 P40"},
        {"a pad short of the start", 130, kAudio, "P100", "P100 P30 P40"},
        {"a pad past the start", 130, kAudio, "M20 P180", "M20 P110 P40"},
        {"no segment", 130, kAudio, "", "P130 P40"},
        {"timecode", 130, kTimecode, "M100", "M100 P30 P40"},
        // Chan2 records ancillary data: its populated track is cut or
        // padded to the start and then recorded, as the video's is.
        {"ancillary data, a record track", 130, kAncData, "", "M100 P30 M40"},
        {"an empty video track", 130, kPadVideo, "P100", "P100 P30 P40"},
        {"start 0: media", 0, kAudio, "M100", "M100 P40"},
        {"start 0: a pad left by an earlier extension", 0, kAudio, "M60 P40", "M60 P40 P40"},
        {"start 0: no segment", 0, kAudio, "", "P140"},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "pads" + std::to_string(row++);
        CComPtr<IUnknown> timeline = Recorded(name.c_str());
        ASSERT_NE(timeline, nullptr);
        CComPtr<IMovie> movie = MovieOf(timeline);
        Build(movie, c.type, 0, c.before);
        ASSERT_EQ(m_channel->ExtendTimeline(timeline, c.start, 40), S_OK) << LastErrorText();
        EXPECT_EQ(Shape(movie, c.type, 0), c.after);
        EXPECT_EQ(Shape(movie, kMpegSd, 0), c.start > 0 ? "M100 P30 M40" : "M100 M40");
    }
}

TEST_F(TimelineExtendTest, ExtendingAMovieWithASecondVideoTrackPadsItOnItsOwnType) {
    CComPtr<IUnknown> timeline = Recorded("two-video");
    ASSERT_NE(timeline, nullptr);
    CComPtr<IMovie> movie = MovieOf(timeline);
    // Recorded on a channel with two video resources of the same compression.
    Build(movie, kMpegSd, 1, "M100");
    ASSERT_EQ(m_channel->ExtendTimeline(timeline, 130, 40), S_OK) << LastErrorText();
    EXPECT_EQ(Shape(movie, kMpegSd, 0), "M100 P30 M40");
    EXPECT_EQ(Shape(movie, kMpegSd, 1), "M100 P30 P40");
    long empty = -1;
    ASSERT_EQ(movie->GetTrackCount(kPadVideo, &empty), S_OK);
    EXPECT_EQ(empty, 0) << "no empty video track is made up";
}

TEST_F(TimelineExtendTest, ExtendingPastTheLastPositionIsRefusedBeforeTheMovieChanges) {
    constexpr std::int32_t kLast = 0x7fffffff;
    struct Case {
        const char* name;
        std::int32_t markIn;
        std::int32_t start, length;
        const char* message;
    };
    const Case cases[] = {
        {"start and length", 0, kLast - 39, 40,
         "ExtendTimeline: start 2147483608 and length 40 from mark in 0 run past the last "
         "position"},
        {"mark in and start", 20, kLast - 10, 0,
         "ExtendTimeline: start 2147483637 and length 0 from mark in 20 run past the last "
         "position"},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "last" + std::to_string(row++);
        CComPtr<IUnknown> timeline = Recorded(name.c_str(), c.markIn, 100);
        ASSERT_NE(timeline, nullptr);
        EXPECT_EQ(m_channel->ExtendTimeline(timeline, c.start, c.length), E_INVALIDARG);
        EXPECT_EQ(LastErrorText(), c.message);
        CComPtr<IMovie> movie = MovieOf(timeline);
        EXPECT_EQ(Shape(movie, kMpegSd, 0), "M100");
        EXPECT_EQ(MarksOf(movie).maxLength, 100 - c.markIn);
    }
    // The last position itself can be reached.
    CComPtr<IUnknown> timeline = Recorded("last");
    ASSERT_NE(timeline, nullptr);
    EXPECT_EQ(m_channel->ExtendTimeline(timeline, kLast - 40, 40), S_OK) << LastErrorText();
    EXPECT_EQ(MarksOf(MovieOf(timeline)).maxLength, kLast);
}
