#include "tmschannel/common/VideoFormat.h"

#include <gtest/gtest.h>

namespace {

using namespace tmsvideo;

TEST(VideoFormatTest, TableRows) {
    struct Row {
        std::int32_t value;
        const char* name;
        int fields;
        int rate;
        std::uint16_t code;
        std::uint16_t dropCode;
    } rows[] = {
        {0, "Format525_60Hz_2To1", 2, 60, 0x1E04, 0x1E05},
        {1, "Format625_50Hz_2To1", 2, 50, 0x1904, 0x1904},
        {4, "Format1080_23_98Hz_1To1", 1, 24, 0x1803, 0x1803},
        {5, "Format1080_24Hz_1To1", 1, 24, 0x1802, 0x1802},
        {7, "Format1080_29_97Hz_1To1", 1, 30, 0x1E02, 0x1E03},
        {9, "Format1080_25Hz_2To1", 2, 25, 0x1904, 0x1904},
        {20, "Format625_25Hz_1To1", 1, 25, 0x1902, 0x1902},
        {31, "FormatWsxga_59_94Hz_1To1", 1, 60, 0x1E04, 0x1E05},
        {32, "FormatWsxga_50Hz_1To1", 1, 50, 0x1904, 0x1904},
        {240, "FormatMixed_29_97HzRef", 2, 0, 0x1E04, 0x1E05},
        {241, "FormatMixed_25HzRef", 2, 0, 0x1904, 0x1904},
        {254, "Unknown Video Format", 2, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(NameFromFormat(row.value, row.value), row.name);
        EXPECT_EQ(FieldsPerFrame(row.value), row.fields);
        EXPECT_EQ(FrameRate(row.value), row.rate);
        EXPECT_EQ(TimecodeFormatCode(row.value, false), row.code);
        EXPECT_EQ(TimecodeFormatCode(row.value, true), row.dropCode);
        if (row.value != 31) {
            EXPECT_EQ(FormatFromName(row.name, -7), row.value);
        }
    }
}

TEST(VideoFormatTest, NamesReadAndTheirQuirks) {
    struct Row {
        const char* name;
        std::int32_t expected;
    } rows[] = {
        {"Format525_29_97Hz_2To1", 0},
        {"Format625_25Hz_2To1", 1},
        {"FormatWsxga_59_95Hz_1To1", 31},
        {"FormatWsxga_59_94Hz_1To1", -7},  // written that way, but does not read back
        {"Invalid Video Format", -7},      // no name reads as 255
        {"Unknown Video Format", 254},
        {"format525_60hz_2to1", -7},  // names are matched exactly
        {"", -7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FormatFromName(row.name, -7), row.expected);
    }
}

TEST(VideoFormatTest, UnknownAndInvalidTakeTheFallbacksName) {
    EXPECT_EQ(NameFromFormat(255, 254), "Invalid Video Format");
    EXPECT_EQ(NameFromFormat(255, 5), "Format1080_24Hz_1To1");
    EXPECT_EQ(NameFromFormat(254, 0), "Format525_60Hz_2To1");
    EXPECT_EQ(NameFromFormat(254, 254), "Unknown Video Format");
    EXPECT_EQ(NameFromFormat(100, 0), "Unknown");
    EXPECT_EQ(NameFromFormat(-1, 0), "Unknown");
    EXPECT_EQ(TimecodeFormatCode(100, true), 0);
}

}  // namespace
