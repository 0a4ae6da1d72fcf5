// The context token a client names a context by:
// (channel number << 16) | (timeline code << 8) | context index. 0 is never
// a token.
#pragma once

#include <cstdint>

namespace context_token {

// Bit 15 of AllocateContext's code asks for the movie status to be
// published at once; it is not part of the code.
inline constexpr std::uint16_t kPublishFlag = 0x8000;
inline constexpr std::uint16_t kCodeMask = 0x7FFF;

constexpr std::uint32_t Compose(std::int32_t channel, std::uint32_t timelineCode,
                                std::int32_t index) {
    return (static_cast<std::uint32_t>(channel) << 16) | (timelineCode << 8) |
           static_cast<std::uint32_t>(index);
}
constexpr std::int32_t Channel(std::uint32_t token) {
    return static_cast<std::int32_t>((token >> 16) & 0xFF);
}
constexpr std::uint32_t TimelineCode(std::uint32_t token) {
    return (token >> 8) & 0xFF;
}
constexpr std::int32_t Index(std::uint32_t token) {
    return static_cast<std::int32_t>(token & 0xFF);
}

}  // namespace context_token
