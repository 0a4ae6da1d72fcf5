#include "tmschannel/common/Timecode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

constexpr std::uint16_t k2997Drop = 0x1E05;  // 30 frames, 2 fields, drop frame
constexpr std::uint16_t k2997Plain = 0x1E04;
constexpr std::uint16_t k1080p2997 = 0x1E03;  // 30 frames, 1 field, drop frame
constexpr std::uint16_t k25i = 0x1904;

TEST(TimecodeTest, DropFrameLabelsAtMinuteBoundaries) {
    struct Row {
        std::int64_t count;
        const char* text;
        int h, m, s, f;
    } rows[] = {
        {0, "00:00:00,00", 0, 0, 0, 0},
        {3599, "00:00:59;29", 0, 0, 59, 59},
        {3600, "00:01:00,02", 0, 1, 0, 4},
        {3601, "00:01:00;02", 0, 1, 0, 5},
        {35964, "00:10:00,00", 0, 10, 0, 0},
        {35963, "00:09:59;29", 0, 9, 59, 59},
        {35964 + 3600, "00:11:00,02", 0, 11, 0, 4},
        {-1, "23:59:59;29", 23, 59, 59, 59},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.count);
        CTimecode tc(row.count, k2997Drop);
        EXPECT_EQ(tc.ToString(), row.text);
        EXPECT_EQ(tc.Hours(), row.h);
        EXPECT_EQ(tc.Minutes(), row.m);
        EXPECT_EQ(tc.Seconds(), row.s);
        EXPECT_EQ(tc.Fields(), row.f);
        if (row.count >= 0) {
            EXPECT_EQ(tc.ToFieldCount(), row.count);
        }
    }
}

// Every field across the boundaries where drop frame is easy to get wrong
// turns into a label and back into the same count.
TEST(TimecodeTest, RoundTripsAcrossMinuteTenMinuteAndDayBoundaries) {
    for (std::uint16_t code : {k2997Drop, k1080p2997, k2997Plain, k25i}) {
        SCOPED_TRACE(code);
        CTimecode probe(code);
        const std::int64_t day = probe.FieldsPerDay();
        const std::int64_t minute = probe.FrameRate() * probe.FieldsPerFrame() * 60;
        const std::int64_t tenMinutes = CTimecode(0, 10, 0, 0, code).ToFieldCount();
        const std::int64_t starts[] = {0, minute - 200, tenMinutes - 200, tenMinutes + minute - 200,
                                       day - 200};
        CTimecode previous(code);
        for (std::int64_t start : starts) {
            for (std::int64_t n = start; n < start + 400; ++n) {
                CTimecode tc(n, code);
                std::int64_t expected = ((n % day) + day) % day;
                ASSERT_EQ(tc.ToFieldCount(), expected) << "count " << n;
                CTimecode fromLabel(tc.Hours(), tc.Minutes(), tc.Seconds(), tc.Fields(), code);
                ASSERT_EQ(fromLabel, tc) << "count " << n;
                if (n != start && expected != 0) {
                    ASSERT_TRUE(previous < tc) << "count " << n;
                }
                previous = tc;
            }
        }
    }
}

TEST(TimecodeTest, SkippedLabelBecomesTheFirstThatExists) {
    CTimecode tc(0, 1, 0, 0, k2997Drop);
    EXPECT_EQ(tc.Fields(), 4);
    EXPECT_EQ(tc.ToFieldCount(), 3600);
    CTimecode tenth(0, 10, 0, 0, k2997Drop);
    EXPECT_EQ(tenth.Fields(), 0);  // minute 10 drops nothing
    CTimecode plain(0, 1, 0, 0, k2997Plain);
    EXPECT_EQ(plain.Fields(), 0);
}

TEST(TimecodeTest, ParseNumbersFromTheRight) {
    struct Row {
        const char* text;
        std::uint16_t code;
        std::int64_t count;
        bool drop;
    } rows[] = {
        {"00:10:00;00", k2997Drop, 35964, true},
        {"00:01:00:00", k2997Drop, 3600, false},  // ":" only: counted without drop frame
        {"12", k2997Plain, 24, false},
        {"1:12", k2997Plain, 60 + 24, false},
        {"2:1:12", k2997Plain, 2 * 3600 + 60 + 24, false},
        {"00:00:01;00", k25i, 50, false},  // 25 frames is never drop frame
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        CTimecode tc(row.code);
        tc.Parse(row.text, tc.FieldsPerFrame());
        EXPECT_EQ(tc.DropFrame(), row.drop);
        EXPECT_EQ(tc.ToFieldCount(), row.count);
    }
}

TEST(TimecodeTest, TryParseRefusesMalformedText) {
    const char* bad[] = {"",
                         "ab",
                         "1::2",
                         "1:2:3:4:5",
                         "24:00:00:00",
                         "00:60:00:00",
                         "00:00:60:00",
                         "00:00:00:30",
                         "00:00:00:",
                         "-1",
                         "00:00:00:00 "};
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        CTimecode tc(k2997Drop);
        std::string error;
        EXPECT_FALSE(tc.TryParse(text, 2, &error));
        EXPECT_FALSE(error.empty());
    }
    CTimecode tc(k2997Drop);
    std::string error;
    EXPECT_TRUE(tc.TryParse("23:59:59;29", 2, &error)) << error;
    EXPECT_EQ(tc.ToFieldCount(), tc.FieldsPerDay() - 2);
}

TEST(TimecodeTest, ArithmeticDifferencesAndMilliseconds) {
    CTimecode a(0, 0, 1, 0, k2997Plain);
    EXPECT_EQ(a.ToMilliseconds(), 1000);
    CTimecode late(23, 59, 59, 0, k2997Plain);
    EXPECT_EQ((late + 120).ToString(), "00:00:01.00");  // wraps, keeps the left's format
    EXPECT_EQ((a - 120).ToString(), "23:59:59.00");
    // Across midnight the signed difference is the short one.
    EXPECT_EQ(a.ShortestDifference(late), 120);
    EXPECT_EQ(late.ShortestDifference(a), -120);
    EXPECT_EQ(late.SignedFieldCount(), -60);
    CTimecode sum = a;
    sum += CTimecode(0, 0, 2, 0, k25i);  // the right operand's count: 100 fields
    EXPECT_EQ(sum.ToFieldCount(), 160);
    EXPECT_EQ(sum.GetFormatCode(), k2997Plain);
}

TEST(TimecodeTest, FormatCodeWithoutARateNeverDividesByZero) {
    CTimecode tc(0);
    EXPECT_EQ(tc.GetFormatCode(), k2997Plain);
    tc.FromFieldCount(-5);
    EXPECT_GT(tc.ToMilliseconds(), 0);
    EXPECT_EQ(CTimecode().GetFormatCode(), k2997Drop);
}

}  // namespace

namespace {

// The text is made by hand for speed; printf's "%02d" is the reference, at
// every rate, across a day and past it (a day added: hours 24 to 47).
TEST(TimecodeTest, TextIsTwoDigitPartsAsPrintfWouldMakeThem) {
    const std::uint16_t codes[] = {k2997Drop, k2997Plain, k1080p2997, k25i};
    for (std::uint16_t code : codes) {
        SCOPED_TRACE("format code " + std::to_string(code));
        const std::int64_t day = CTimecode(0, code).FieldsPerDay();
        for (std::int64_t count = 0; count < day; count += 997) {
            for (bool nextDay : {false, true}) {
                CTimecode tc(count, code);
                if (nextDay) {
                    tc.AddDay();
                }
                char sep = tc.DropFrame() ? ';' : ':';
                if (tc.FieldsPerFrame() == 2 && tc.Fields() % 2 == 0) {
                    sep = tc.DropFrame() ? ',' : '.';
                }
                char expected[64];
                std::snprintf(expected, sizeof expected, "%02d:%02d:%02d%c%02d", tc.Hours(),
                              tc.Minutes(), tc.Seconds(), sep, tc.Fields() / tc.FieldsPerFrame());
                ASSERT_EQ(tc.ToString(), expected) << "count " << count;
            }
        }
    }
}

}  // namespace
