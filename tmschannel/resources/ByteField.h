// Little-endian fields of the 48-byte media data block and of the status
// block, written and read by byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bytefield {

inline void Put32(std::uint8_t* block, std::size_t at, std::int32_t value) {
    std::memcpy(block + at, &value, sizeof value);
}

inline void Put16(std::uint8_t* block, std::size_t at, std::uint16_t value) {
    std::memcpy(block + at, &value, sizeof value);
}

inline void PutFloat(std::uint8_t* block, std::size_t at, float value) {
    std::memcpy(block + at, &value, sizeof value);
}

inline void PutDouble(std::uint8_t* block, std::size_t at, double value) {
    std::memcpy(block + at, &value, sizeof value);
}

inline std::uint16_t Get16(const std::uint8_t* block, std::size_t at) {
    return static_cast<std::uint16_t>(block[at] | (block[at + 1] << 8));
}

inline std::int32_t Get32(const std::uint8_t* block, std::size_t at) {
    std::int32_t value = 0;
    std::memcpy(&value, block + at, sizeof value);
    return value;
}

inline double GetDouble(const std::uint8_t* block, std::size_t at) {
    double value = 0;
    std::memcpy(&value, block + at, sizeof value);
    return value;
}

}  // namespace bytefield
