#include "server/timeline/VideoFormatNames.h"

#include <array>
#include <string_view>

namespace {

// Every name a channel reads as a format, and the two it writes for none.
constexpr std::array<std::string_view, 40> kNames = {
    "Format525_60Hz_2To1",       "Format525_29_97Hz_2To1",    "Format625_50Hz_2To1",
    "Format625_25Hz_2To1",       "Format720_59_94Hz_1To1",    "Format720_60Hz_1To1",
    "Format1080_23_98Hz_1To1",   "Format1080_24Hz_1To1",      "Format1080_25Hz_1To1",
    "Format1080_29_97Hz_1To1",   "Format1080_30Hz_1To1",      "Format1080_25Hz_2To1",
    "Format1080_29_97Hz_2To1",   "Format1080_30Hz_2To1",      "Format1035_30Hz_2To1",
    "Format1035_29_97Hz_2To1",   "Format720_50Hz_1To1",       "Format525_59_94Hz_1To1",
    "Format525_60Hz_1To1",       "Format525_29_97Hz_1To1",    "Format525_30Hz_1To1",
    "Format625_50Hz_1To1",       "Format625_25Hz_1To1",       "Format720_29_97Hz_1To1",
    "Format720_30Hz_1To1",       "Format720_25Hz_1To1",       "Format1440x1080_29_97Hz_2To1",
    "Format1440x1080_30Hz_2To1", "Format1440x1080_25Hz_2To1", "FormatXga_59_94Hz_1To1",
    "FormatXga_50Hz_1To1",       "FormatWxga_59_94Hz_1To1",   "FormatWxga_50Hz_1To1",
    "FormatWsxga_59_94Hz_1To1",  "FormatWsxga_59_95Hz_1To1",  "FormatWsxga_50Hz_1To1",
    "FormatMixed_29_97HzRef",    "FormatMixed_25HzRef",       "Unknown Video Format",
    "Invalid Video Format",
};

}  // namespace

bool IsMovieVideoFormatName(const std::string& name) {
    if (name.empty()) {
        return true;
    }
    for (const std::string_view known : kNames) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

std::string MovieVideoFormatNames() {
    std::string text;
    for (const std::string_view known : kNames) {
        if (!text.empty()) {
            text += ", ";
        }
        text += known;
    }
    return text;
}
