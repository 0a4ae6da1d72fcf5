// One segment of a movie track as a resource writes states for it, clipped
// to the context's window.
#pragma once

#include <cstdint>
#include <string>

#include "platform/kernel/WinTypes.h"

struct MediaSegmentInfo {
    std::int32_t trackType = 0;
    std::int32_t trackNumber = 0;
    std::uint16_t segmentCode = 0;
    // Kept as the movie's position query gives them.
    std::uint16_t flags = 0;
    std::uint32_t userData = 0;
    // The segment's media file (UTF-8); empty for a segment without media.
    std::string complexMediaName;
    std::string segmentUuid;
    std::string segmentName;
    std::int32_t start = 0;   // timeline position of the first field, after clipping
    std::int32_t markIn = 0;  // media position of that field
    std::int32_t markOut = 0;
    std::int32_t duration = 0;   // fields, after clipping
    std::uint16_t fileCode = 0;  // the RTS's code for the media file (UpdateFileState)
    std::int32_t fileType = 0;
    BYTE mediaData[48] = {};
};
