#include "server/timeline/TimecodeFormat.h"

#include <cstdio>

namespace {

constexpr std::uint32_t kNoneBit = 0x80000000u;
constexpr std::uint32_t kUnusedBits = 0x60000000u;

std::string Text(long long hours, int minutes, int seconds, int frames) {
    char text[40];
    std::snprintf(text, sizeof text, "%02lld:%02d:%02d:%02d", hours, minutes, seconds, frames);
    return text;
}

}  // namespace

CTimecodeFormat::CTimecodeFormat(const std::string& videoFormat) {
    const bool rate25 = videoFormat.find("625") != std::string::npos ||
                        videoFormat.find("_25Hz") != std::string::npos ||
                        videoFormat.find("_50Hz") != std::string::npos;
    m_fps = rate25 ? 25 : 30;
}

std::string CTimecodeFormat::PositionText(std::int32_t fields) const {
    const long long magnitude = fields < 0 ? -static_cast<long long>(fields) : fields;
    const long long frames = magnitude / kFieldsPerFrame;
    const long long seconds = frames / m_fps;
    const std::string text = Text(seconds / 3600, static_cast<int>(seconds / 60 % 60),
                                  static_cast<int>(seconds % 60), static_cast<int>(frames % m_fps));
    return fields < 0 ? "-" + text : text;
}

std::string CTimecodeFormat::PackedText(std::int32_t packed) const {
    const auto bits = static_cast<std::uint32_t>(packed);
    if ((bits & kNoneBit) != 0) {
        return "";
    }
    return Text(bits >> 24 & 0x1F, static_cast<int>(bits >> 16 & 0xFF),
                static_cast<int>(bits >> 8 & 0xFF), static_cast<int>(bits & 0xFF));
}

std::string CTimecodeFormat::PackedProblem(std::int32_t packed) const {
    const auto bits = static_cast<std::uint32_t>(packed);
    if ((bits & kNoneBit) != 0) {
        return "";
    }
    if ((bits & kUnusedBits) != 0) {
        return "has bits 29-30 set (only non-drop timecodes are kept)";
    }
    if ((bits >> 24 & 0x1F) > 23) {
        return "has hours above 23";
    }
    if ((bits >> 16 & 0xFF) > 59 || (bits >> 8 & 0xFF) > 59) {
        return "has minutes or seconds above 59";
    }
    if (static_cast<int>(bits & 0xFF) >= m_fps) {
        return "has frames above " + std::to_string(m_fps - 1) + " (" + std::to_string(m_fps) +
               " frames a second)";
    }
    return "";
}
