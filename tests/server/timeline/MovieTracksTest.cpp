// Segment arithmetic, the media data block, properties and their texts.
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "platform/com/SafeArray.h"
#include "platform/com/VariantArray.h"
#include "server/timeline/ITimelineControl.h"
#include "tests/server/timeline/TimelineTestSupport.h"

namespace tltest {
namespace {

using TimelineTracksTest = TimelineTest;

constexpr long kAudio = 2;

TEST_F(TimelineTracksTest, TrackEdgesAndRefusals) {
    CComPtr<IMovie> movie = Create("edges");
    unsigned short code = 99;
    EXPECT_EQ(movie->GetLastSegment(kAudio, 0, 0, -1, &code), S_FALSE);  // no track
    EXPECT_EQ(code, 0);
    EXPECT_EQ(movie->AppendSegment(kAudio, 1, 0, 10, 0, nullptr, &code), E_INVALIDARG);
    EXPECT_NE(LastError().find("the next new track is number 0"), std::string::npos);
    const unsigned short first = Append(movie, kAudio, 0, 10);
    const unsigned short second = Append(movie, kAudio, 0, 20);
    Append(movie, kAudio, 1, 5);  // track 1 exists once track 0 does
    EXPECT_EQ(movie->GetLastSegment(kAudio, 0, 0, -2, &code), S_OK);
    EXPECT_EQ(code, first);
    EXPECT_EQ(movie->GetLastSegment(kAudio, 0, 0, -3, &code), S_FALSE);

    struct Case {
        const char* name;
        std::function<HRESULT()> call;
        const char* mentions;
    } cases[] = {
        {"trim to 0", [&] { return movie->TrimSegment(kAudio, 0, second, 0); }, "1 to 20"},
        {"trim longer", [&] { return movie->TrimSegment(kAudio, 0, second, 21); }, "1 to 20"},
        {"unknown code", [&] { return movie->RemoveSegment(kAudio, 0, 77); }, "segment 77"},
        {"code of another track", [&] { return movie->RemoveSegment(kAudio, 1, first); },
         "track (2, 1)"},
        {"unknown type", [&] { return movie->AppendSegment(8, 0, 0, 1, 0, nullptr, &code); },
         "track type 8"},
        {"negative length",
         [&] { return movie->AppendSegment(kAudio, 0, 0, -1, 0, nullptr, &code); }, "length -1"},
        {"reserved", [&] { return movie->AppendSegment(kAudio, 0, 3, 1, 0, nullptr, &code); },
         "reserved"},
        {"media data size",
         [&] {
             unsigned char block[48] = {};
             return movie->SetSegmentMediaData(kAudio, 0, first, 1, 47, block);
         },
         "not 47"},
        {"update mode", [&] { return movie->UpdateSegment(kAudio, 0, first, 0, 5, 4); }, "mode 4"},
        {"label of no track", [&] { return movie->SetTrackLabel(kAudio, 2, nullptr); },
         "no track (2, 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), E_INVALIDARG);
        EXPECT_NE(LastError().find(c.mentions), std::string::npos);
    }
    // Emptied, the track stays and answers "none".
    ASSERT_EQ(movie->RemoveSegment(kAudio, 1, 3), S_OK);
    EXPECT_EQ(movie->GetLastSegment(kAudio, 1, 0, -1, &code), S_FALSE);
    // Codes are never reused.
    EXPECT_EQ(Append(movie, kAudio, 1, 5), 4);
}

// The segments of a track, in order, as the test expects them.
struct ExpectedSegment {
    unsigned short code;
    long length;
};

// Every position from before the first to past the last segment finds the
// segment that covers it, and every segment reports the start the lengths
// before it add up to.
void ExpectLookups(IMovie* movie, long type, const std::vector<ExpectedSegment>& segments) {
    long start = 0;
    for (const ExpectedSegment& e : segments) {
        long s = -1, natural = 0, duration = 0;
        unsigned short flags = 0;
        unsigned long user = 0;
        ASSERT_EQ(
            movie->GetSegmentPositions(type, 0, e.code, &s, &natural, &duration, &flags, &user),
            S_OK)
            << "segment " << e.code;
        EXPECT_EQ(s, start) << "segment " << e.code;
        EXPECT_EQ(duration, e.length) << "segment " << e.code;
        for (long p = start; p < start + e.length; ++p) {
            unsigned short found = 0;
            ASSERT_EQ(movie->GetSegmentAtPosition(type, 0, p, &found), S_OK) << p;
            ASSERT_EQ(found, e.code) << "position " << p;
        }
        start += e.length;
    }
    for (long p : {-1L, start, start + 1}) {
        unsigned short found = 99;
        EXPECT_EQ(movie->GetSegmentAtPosition(type, 0, p, &found), S_FALSE) << p;
        EXPECT_EQ(found, 0) << p;
    }
}

TEST_F(TimelineTracksTest, LookupsOfALongTrackWithEmptySegmentsHoldAtEveryBoundary) {
    // Lengths 0 to 4 in an uneven pattern, empty segments alone, in pairs,
    // first and last; a second track of other lengths must not be mixed in.
    unsigned short code = 0;
    CComPtr<IMovie> movie = Create("long", &code);
    std::vector<ExpectedSegment> audio;
    std::vector<ExpectedSegment> video;
    for (int i = 0; i < 60; ++i) {
        const long length = i == 59 ? 0 : (i * 7 + i / 5) % 5;
        audio.push_back({Append(movie, kAudio, 0, length, 2), length});
        if (i % 3 == 0) {
            const long other = 1 + i % 4;
            video.push_back({Append(movie, 10, 0, other, 5), other});
        }
    }
    ExpectLookups(movie, kAudio, audio);
    ExpectLookups(movie, 10, video);

    // Changes move the later segments: a segment in the middle removed, the
    // first trimmed, one appended.
    ASSERT_EQ(movie->RemoveSegment(kAudio, 0, audio[30].code), S_OK);
    audio.erase(audio.begin() + 30);
    std::size_t first = 0;
    while (audio[first].length < 2) {
        ++first;
    }
    ASSERT_EQ(movie->TrimSegment(kAudio, 0, audio[first].code, 1), S_OK);
    audio[first].length = 1;
    audio.push_back({Append(movie, kAudio, 0, 3, 2), 3});
    ExpectLookups(movie, kAudio, audio);
    ExpectLookups(movie, 10, video);

    // Read back from the file.
    movie.Release();
    Bstr d("ds"), g("grp"), m("long");
    ASSERT_EQ(m_builder->CloseTimeline(d.b, g.b, m.b, 0, code), S_OK);
    movie = Open("long");
    ExpectLookups(movie, kAudio, audio);
    ExpectLookups(movie, 10, video);
}

TEST_F(TimelineTracksTest, ANewSegmentsMediaDataHoldsOnlyItsFileType) {
    CComPtr<IMovie> movie = Create("block");
    const unsigned short code = Append(movie, 10, 0, 30, 0x01020304);
    unsigned char block[48];
    std::memset(block, 0xEE, sizeof block);
    ASSERT_EQ(movie->GetSegmentMediaData(10, 0, code, 0, 48, block), S_OK);
    unsigned char expected[48] = {};
    expected[32] = 0x04;  // little-endian 0x01020304 at offset 32
    expected[33] = 0x03;
    expected[34] = 0x02;
    expected[35] = 0x01;
    EXPECT_EQ(std::memcmp(block, expected, 48), 0);
    long fileType = 0, in = -5, out = 0, duration = 0;
    BSTR media = nullptr;
    ASSERT_EQ(movie->GetSegmentDescription(10, 0, code, &fileType, &media, &in, &out, &duration),
              S_OK);
    EXPECT_EQ(tmstest::TakeBstr(media), "ds/grp/block/t10n0s1");
    EXPECT_EQ(in, 0);
    EXPECT_EQ(out, 29);
    // A pad names no media file.
    const unsigned short pad = Append(movie, 10, 0, 5, 0);
    ASSERT_EQ(movie->GetSegmentDescription(10, 0, pad, &fileType, &media, &in, &out, &duration),
              S_OK);
    EXPECT_EQ(tmstest::TakeBstr(media), "");
}

}  // namespace
}  // namespace tltest
