#include "tmschannel/common/VideoFormat.h"

#include <array>

namespace tmsvideo {

namespace {

struct FormatRow {
    std::int32_t value;
    const char* nameWritten;
    const char* otherNameRead;  // a second name that reads as this value, or null
    std::int32_t fieldsPerFrame;
    std::int32_t frameRate;
    std::uint16_t code;
    std::uint16_t dropCode;  // 0 when the format has no drop-frame variant
};

constexpr std::array<FormatRow, 37> kFormats = {{
    {0, "Format525_60Hz_2To1", "Format525_29_97Hz_2To1", 2, 60, 0x1E04, 0x1E05},
    {1, "Format625_50Hz_2To1", "Format625_25Hz_2To1", 2, 50, 0x1904, 0},
    {2, "Format720_59_94Hz_1To1", nullptr, 1, 60, 0x1E04, 0x1E05},
    {3, "Format720_60Hz_1To1", nullptr, 1, 60, 0x1E04, 0},
    {4, "Format1080_23_98Hz_1To1", nullptr, 1, 24, 0x1803, 0},
    {5, "Format1080_24Hz_1To1", nullptr, 1, 24, 0x1802, 0},
    {6, "Format1080_25Hz_1To1", nullptr, 1, 25, 0x1902, 0},
    {7, "Format1080_29_97Hz_1To1", nullptr, 1, 30, 0x1E02, 0x1E03},
    {8, "Format1080_30Hz_1To1", nullptr, 1, 30, 0x1E02, 0},
    {9, "Format1080_25Hz_2To1", nullptr, 2, 25, 0x1904, 0},
    {10, "Format1080_29_97Hz_2To1", nullptr, 2, 30, 0x1E04, 0x1E05},
    {11, "Format1080_30Hz_2To1", nullptr, 2, 30, 0x1E04, 0},
    {12, "Format1035_30Hz_2To1", nullptr, 2, 30, 0x1E04, 0},
    {13, "Format1035_29_97Hz_2To1", nullptr, 2, 30, 0x1E04, 0x1E05},
    {14, "Format720_50Hz_1To1", nullptr, 1, 50, 0x1904, 0},
    {15, "Format525_59_94Hz_1To1", nullptr, 1, 60, 0x1E04, 0x1E05},
    {16, "Format525_60Hz_1To1", nullptr, 1, 60, 0x1E04, 0},
    {17, "Format525_29_97Hz_1To1", nullptr, 1, 30, 0x1E02, 0x1E03},
    {18, "Format525_30Hz_1To1", nullptr, 1, 30, 0x1E02, 0},
    {19, "Format625_50Hz_1To1", nullptr, 1, 50, 0x1904, 0},
    {20, "Format625_25Hz_1To1", nullptr, 1, 25, 0x1902, 0},
    {21, "Format720_29_97Hz_1To1", nullptr, 1, 30, 0x1E02, 0x1E03},
    {22, "Format720_30Hz_1To1", nullptr, 1, 30, 0x1E02, 0},
    {23, "Format720_25Hz_1To1", nullptr, 1, 25, 0x1902, 0},
    {24, "Format1440x1080_29_97Hz_2To1", nullptr, 2, 30, 0x1E04, 0x1E05},
    {25, "Format1440x1080_30Hz_2To1", nullptr, 2, 30, 0x1E04, 0},
    {26, "Format1440x1080_25Hz_2To1", nullptr, 2, 25, 0x1904, 0},
    {27, "FormatXga_59_94Hz_1To1", nullptr, 1, 60, 0x1E04, 0x1E05},
    {28, "FormatXga_50Hz_1To1", nullptr, 1, 50, 0x1904, 0},
    {29, "FormatWxga_59_94Hz_1To1", nullptr, 1, 60, 0x1E04, 0x1E05},
    {30, "FormatWxga_50Hz_1To1", nullptr, 1, 50, 0x1904, 0},
    // Read with "59_95", written with "59_94": the two names differ in one digit.
    {31, "FormatWsxga_59_94Hz_1To1", nullptr, 1, 60, 0x1E04, 0x1E05},
    {32, "FormatWsxga_50Hz_1To1", nullptr, 1, 50, 0x1904, 0},
    {240, "FormatMixed_29_97HzRef", nullptr, 2, 0, 0x1E04, 0x1E05},
    {241, "FormatMixed_25HzRef", nullptr, 2, 0, 0x1904, 0},
    {254, "Unknown Video Format", nullptr, 2, 0, 0, 0},
    {255, "Invalid Video Format", nullptr, 2, 0, 0, 0},
}};

const FormatRow* Find(std::int32_t format) {
    for (const FormatRow& row : kFormats) {
        if (row.value == format) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

std::int32_t FormatFromName(std::string_view name, std::int32_t otherValue) {
    if (name == "FormatWsxga_59_95Hz_1To1") {
        return 31;
    }
    for (const FormatRow& row : kFormats) {
        if (row.value == 31 || row.value == kFormatInvalid) {
            continue;  // 31 reads only by its "59_95" name; no name reads as 255
        }
        if (name == row.nameWritten || (row.otherNameRead != nullptr && name == row.otherNameRead)) {
            return row.value;
        }
    }
    return otherValue;
}

std::string NameFromFormat(std::int32_t format, std::int32_t fallback) {
    if ((format == kFormatUnknown || format == kFormatInvalid) && fallback != kFormatUnknown) {
        format = fallback;
    }
    const FormatRow* row = Find(format);
    return row != nullptr ? row->nameWritten : "Unknown";
}

std::int32_t FieldsPerFrame(std::int32_t format) {
    const FormatRow* row = Find(format);
    return row != nullptr ? row->fieldsPerFrame : 2;
}

std::int32_t FrameRate(std::int32_t format) {
    const FormatRow* row = Find(format);
    return row != nullptr ? row->frameRate : 0;
}

std::uint16_t TimecodeFormatCode(std::int32_t format, bool dropFrame) {
    const FormatRow* row = Find(format);
    if (row == nullptr) {
        return 0;
    }
    return (dropFrame && row->dropCode != 0) ? row->dropCode : row->code;
}

bool HasDropFrame(std::int32_t format) {
    const FormatRow* row = Find(format);
    return row != nullptr && row->dropCode != 0;
}

bool IsKnownFormat(std::int32_t format) { return Find(format) != nullptr; }

}  // namespace tmsvideo
