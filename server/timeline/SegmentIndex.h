// CSegmentIndex: where each segment of a movie's tracks starts and which
// segment covers a position, so that the lookups a channel makes for every
// state list cost the same on a long movie as on a short one. It describes
// one MovieState; CMovie builds a new one with every change it takes over.
//
// Thread safety: a value; constant after construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "server/timeline/MovieState.h"

class CSegmentIndex {
public:
    explicit CSegmentIndex(const MovieState& state);

    // The index of the segment with this code in the track; false when the
    // track has none.
    bool Find(TrackKey track, std::uint16_t code, std::size_t* index) const;
    // The start position of the segment at index in the track.
    std::int64_t Start(TrackKey track, std::size_t index) const;
    // The index of the segment covering position (an empty segment covers
    // nothing); false when none does.
    bool At(TrackKey track, std::int64_t position, std::size_t* index) const;

private:
    struct Track {
        std::vector<std::int64_t> ends;  // ends[i]: the position after segment i
        std::unordered_map<std::uint16_t, std::size_t> byCode;
    };
    const Track* TrackAt(TrackKey track) const;

    std::map<TrackKey, Track> m_tracks;
};
