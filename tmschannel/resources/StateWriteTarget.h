// What a resource writes its states into: the context's movie, its state
// message, its media files and the window its state lists run in.
#pragma once

#include <cstdint>

class CFileMap;
struct IMovie;
namespace rts {
class CStateMessageBuilder;
}

struct StateWriteTarget {
    IMovie* movie = nullptr;
    rts::CStateMessageBuilder* message = nullptr;
    CFileMap* files = nullptr;
    // Timeline minimum and maximum: the movie positions bounding the lists.
    std::int32_t windowStart = 0;
    std::int32_t windowEnd = 0;
};
