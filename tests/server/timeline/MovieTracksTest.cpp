// Segment arithmetic, the media data block, properties and their texts.
#include <cstring>
#include <functional>
#include <map>

#include "platform/com/SafeArray.h"
#include "platform/com/VariantArray.h"
#include "server/timeline/ITimelineControl.h"
#include "tests/server/timeline/TimelineTestSupport.h"

namespace tltest {
namespace {

using TimelineTracksTest = TimelineTest;

constexpr long kAudio = 2;

TEST_F(TimelineTracksTest, SegmentsFollowEachOtherThroughAppendRemoveAndTrim) {
    // Segments A (100), B (50), C (25) on track (2, 0); each row changes them
    // and checks the starts and the segment found at positions around them.
    struct Case {
        const char* name;
        std::function<void(IMovie*, unsigned short a, unsigned short b)> change;
        std::map<char, long> starts;  // segment -> start
        std::map<long, char> at;      // position -> segment ('-' none)
        long length;
    } cases[] = {
        {"as appended",
         [](IMovie*, unsigned short, unsigned short) {},
         {{'A', 0}, {'B', 100}, {'C', 150}},
         {{-1, '-'},
          {0, 'A'},
          {99, 'A'},
          {100, 'B'},
          {149, 'B'},
          {150, 'C'},
          {174, 'C'},
          {175, '-'}},
         175},
        {"middle removed",
         [](IMovie* m, unsigned short, unsigned short b) {
             EXPECT_EQ(m->RemoveSegment(kAudio, 0, b), S_OK);
         },
         {{'A', 0}, {'C', 100}},
         {{99, 'A'}, {100, 'C'}, {124, 'C'}, {125, '-'}},
         125},
        {"first trimmed",
         [](IMovie* m, unsigned short a, unsigned short) {
             EXPECT_EQ(m->TrimSegment(kAudio, 0, a, 40), S_OK);
         },
         {{'A', 0}, {'B', 40}, {'C', 90}},
         {{39, 'A'}, {40, 'B'}, {89, 'B'}, {90, 'C'}, {114, 'C'}, {115, '-'}},
         115},
        {"first removed",
         [](IMovie* m, unsigned short a, unsigned short) {
             EXPECT_EQ(m->RemoveSegment(kAudio, 0, a), S_OK);
         },
         {{'B', 0}, {'C', 50}},
         {{0, 'B'}, {49, 'B'}, {50, 'C'}, {74, 'C'}, {75, '-'}},
         75},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IMovie> movie = Create("arith" + std::to_string(row++));
        std::map<char, unsigned short> code = {{'-', 0}};
        code['A'] = Append(movie, kAudio, 0, 100, 2);
        code['B'] = Append(movie, kAudio, 0, 50, 2);
        code['C'] = Append(movie, kAudio, 0, 25, 2);
        c.change(movie, code['A'], code['B']);
        for (const auto& [segment, start] : c.starts) {
            long s = -1, natural = 0, duration = 0;
            unsigned short flags = 1;
            unsigned long user = 1;
            ASSERT_EQ(movie->GetSegmentPositions(kAudio, 0, code[segment], &s, &natural, &duration,
                                                 &flags, &user),
                      S_OK);
            EXPECT_EQ(s, start) << segment;
            EXPECT_EQ(flags + user, 0u);
        }
        for (const auto& [position, segment] : c.at) {
            unsigned short found = 99;
            EXPECT_EQ(movie->GetSegmentAtPosition(kAudio, 0, position, &found),
                      segment == '-' ? S_FALSE : S_OK)
                << position;
            EXPECT_EQ(found, code[segment]) << position;
        }
        EXPECT_EQ(IntProperty(movie, "length"), c.length);
    }
}

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

TEST_F(TimelineTracksTest, PropertiesComeInListOrderAndAnUnknownNameFailsTheRead) {
    CComPtr<IMovie> movie = Create("props");
    Append(movie, kAudio, 0, 10);
    Bstr names("markIn+moviename+ numA +UnderConstruction+thumbnailImage+uri");
    CVariant values;
    ASSERT_EQ(movie->GetProperties(names.b, values.GetAddress()), S_OK) << LastError();
    ASSERT_EQ(values.Type(), VT_ARRAY | VT_VARIANT);
    const VARIANT& v = values;
    LONG low = -1, high = -1;
    SafeArrayGetLBound(v.parray, 1, &low);
    SafeArrayGetUBound(v.parray, 1, &high);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, 5);
    const std::vector<CVariant> e = ReadVariantArray(values);
    EXPECT_EQ(e[0].Type(), VT_I4);
    EXPECT_EQ(e[1].ToString(), "props");
    EXPECT_EQ(e[2].ToInt32(), 1);
    EXPECT_EQ(e[3].Type(), VT_BOOL);
    EXPECT_EQ(e[4].Type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(e[5].ToString(), "movie:///ds/grp/props");

    Bstr bad("markIn+bogusName");
    CVariant untouched;
    EXPECT_EQ(movie->GetProperties(bad.b, untouched.GetAddress()), E_INVALIDARG);
    EXPECT_NE(LastError().find("'bogusname' is not a movie property"), std::string::npos);
    EXPECT_TRUE(untouched.IsEmpty());
    Bstr readOnly("length");
    EXPECT_EQ(movie->SetProperty(readOnly.b, CVariant(std::int32_t{5})), E_INVALIDARG);
    EXPECT_NE(LastError().find("cannot be set"), std::string::npos);

    Bstr construction("underConstruction");
    ASSERT_EQ(movie->SetConstruction(0x20000000, 0, TRUE), S_OK);
    CVariant on;
    movie->GetProperty(construction.b, on.GetAddress());
    EXPECT_TRUE(on.ToBool());
}

TEST_F(TimelineTracksTest, MarksAndExtendSetTheMaximumLength) {
    CComPtr<IMovie> movie = Create("marks");
    CComPtr<ITimelineControl> control = movie.QueryInterface<ITimelineControl>();
    ASSERT_EQ(movie->SetMarks(10, 100, 3, FALSE), S_OK);
    EXPECT_EQ(IntProperty(movie, "maxLength"), 0);
    ASSERT_EQ(movie->SetMarks(-1, 250, 2, TRUE), S_OK);
    EXPECT_EQ(IntProperty(movie, "markIn"), 10);
    EXPECT_EQ(IntProperty(movie, "maxLength"), 240);
    EXPECT_EQ(movie->SetMarks(300, -1, 1, TRUE), E_INVALIDARG);  // after mark out
    EXPECT_EQ(IntProperty(movie, "markIn"), 10);
    EXPECT_EQ(control->Extend(10, 510, 500, 0), S_OK);
    EXPECT_EQ(IntProperty(movie, "maxLength"), 500);
    EXPECT_EQ(control->Extend(10, 510, 499, 0), E_INVALIDARG);
    EXPECT_EQ(control->Extend(20, 10, -10, 0), E_INVALIDARG);
    EXPECT_EQ(IntProperty(movie, "maxLength"), 500);
}

TEST_F(TimelineTracksTest, TimecodeTextsFollowTheVideoFormat) {
    struct Case {
        const char* format;
        long markIn;  // fields
        long startTimecode;
        HRESULT setHr;
        const char* markInText;
        const char* startText;
    } cases[] = {
        // 2 * (25 * 61 + 3) fields = 1 min 1 s 3 frames at 25 frames a second.
        {"Format625_50Hz_2To1", 3056, 0x0A0B0C0D, S_OK, "00:01:01:03", "10:11:12:13"},
        {"Format1080i_50Hz", 3056, 0x00000018, S_OK, "00:01:01:03", "00:00:00:24"},
        // 2 * (30 * 3601 + 29) fields = 1 h 0 min 1 s 29 frames at 30 frames a second.
        {"Format525_5994Hz", 216118, 0x0000001D, S_OK, "01:00:01:29", "00:00:00:29"},
        {"Format625_50Hz_2To1", 0, 0x00000019, E_INVALIDARG, "00:00:00:00", ""},  // frame 25
        {"Format525_5994Hz", 1, 0x00003C00, E_INVALIDARG, "00:00:00:00", ""},     // second 60
        {"Format525_5994Hz", 0, static_cast<long>(0x80000000u), S_OK, "00:00:00:00", ""},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(row);
        CComPtr<IMovie> movie = Create("tc" + std::to_string(row++));
        Bstr format(c.format), start("starttimecode");
        ASSERT_EQ(movie->SetVideoFormat(format.b), S_OK);
        ASSERT_EQ(movie->SetMarks(c.markIn, c.markIn, 3, FALSE), S_OK);
        EXPECT_EQ(movie->SetProperty(start.b, CVariant(static_cast<std::int32_t>(c.startTimecode))),
                  c.setHr);
        EXPECT_EQ(TextProperty(movie, "markInStr"), c.markInText);
        EXPECT_EQ(TextProperty(movie, "starttimecodestr"), c.startText);
        EXPECT_EQ(IntProperty(movie, "firstTimecodeMask"), IntProperty(movie, "starttimecode"));
    }
}

}  // namespace
}  // namespace tltest
