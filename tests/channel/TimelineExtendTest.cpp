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

constexpr long kMpegSd = 4;

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

}  // namespace

class TimelineExtendTest : public tmstest::ContextFixture {
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
