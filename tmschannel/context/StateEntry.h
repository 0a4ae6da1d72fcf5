// A position on a context's timeline and on its port, and the state entry a
// state list holds: where a state starts and the media files it uses.
#pragma once

#include <cstdint>

#include "tmschannel/context/MediaFileRefList.h"

// The movie position (first) and the port position (second), in fields;
// their difference is the offset between the timeline and the port's count.
struct PositionPair {
    std::int32_t movie = 0;
    std::int32_t port = 0;

    std::int32_t Offset() const { return port - movie; }
};

struct StateEntry {
    PositionPair position;
    // The media files this state plays or records (counted references).
    CMediaFileRefList files;
};
