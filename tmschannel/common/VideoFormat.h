// Video formats as configuration and status name them, and what follows from
// a format: fields per frame, frame rate and the timecode format code.
// Values are held in 32-bit fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tmsvideo {

constexpr std::int32_t kFormatUnknown = 254;
constexpr std::int32_t kFormatInvalid = 255;

// The table's value for a name; "Unknown Video Format" gives 254; any other
// text gives otherValue.
std::int32_t FormatFromName(std::string_view name, std::int32_t otherValue);
// The name written for a value. 254 and 255 take the fallback's name unless
// the fallback is 254; values outside the table give "Unknown".
std::string NameFromFormat(std::int32_t format, std::int32_t fallback);
// 1 or 2; 2 for values outside the table.
std::int32_t FieldsPerFrame(std::int32_t format);
// Frames per second (rounded: 29.97 is 30); 0 for the mixed and unknown values.
std::int32_t FrameRate(std::int32_t format);
// Frame rate in bits 8-15, fields per frame in bits 1-7, drop frame in bit 0;
// the drop-frame variant where the format has one and it is asked for.
std::uint16_t TimecodeFormatCode(std::int32_t format, bool dropFrame);
// True when the format has a drop-frame timecode variant.
bool HasDropFrame(std::int32_t format);
// True for the values the table knows (0..32, 240, 241, 254, 255).
bool IsKnownFormat(std::int32_t format);

}  // namespace tmsvideo
