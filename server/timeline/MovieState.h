// The values of one movie, as its file stores them and CMovie guards them.
// Plain data with a few lookups; the rules that keep it consistent live in
// CMovie (changes) and CMovieFile (what a file must hold to be read back).
//
// Positions and lengths are video fields. A segment's start is the sum of
// the durations before it on its track.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "server/timeline/TrackTypes.h"

// A packed timecode with bit 31 set is "none".
inline constexpr std::int32_t kNoTimecode = std::numeric_limits<std::int32_t>::min();
// Segment codes run from 1 to this; the counter past it means "used up".
inline constexpr std::uint32_t kLastSegmentCode = 0xFFFF;

// The track types a movie holds (TrackTypes.h).
constexpr bool IsMovieTrackType(std::int32_t type) {
    return type == tmstrack::kAudio || type == tmstrack::kTimecode ||
           type == tmstrack::kAncillaryData || tmstrack::IsVideo(type);
}

using MediaDataBlock = std::array<std::uint8_t, tmstrack::kMediaDataSize>;

struct MovieSegment {
    std::uint16_t code = 0;
    std::int32_t fileType = 0;
    std::string name;
    std::string uuid;
    std::int32_t naturalDuration = 0;  // the length it was appended with
    std::int32_t duration = 0;
    std::int32_t mediaIn = 0;
    std::int32_t mediaOut = -1;
    std::uint16_t flags = 0;
    std::uint32_t userData = 0;
    MediaDataBlock mediaData{};
};

struct MovieTrack {
    std::string label;
    std::vector<MovieSegment> segments;

    // The position after the last segment.
    std::int64_t End() const {
        std::int64_t end = 0;
        for (const MovieSegment& s : segments) {
            end += s.duration;
        }
        return end;
    }
};

// (track type, track number).
using TrackKey = std::pair<std::int32_t, std::int32_t>;

// A section of the play list; an edit adds repeat and a pause mode.
struct MovieSpan {
    std::string uuid;
    std::string name;
    std::int32_t start = 0;
    std::int32_t duration = 0;

    bool Covers(std::int64_t position) const {
        return position >= start && position < std::int64_t{start} + duration;
    }
};

struct MovieEdit : MovieSpan {
    bool repeat = false;
    std::int32_t pauseMode = -1;  // -1: no pause at its end
};

struct MovieState {
    std::uint32_t nextSegmentCode = 1;
    std::string assetType;
    std::string videoFormat;
    std::int32_t markIn = 0;
    std::int32_t markOut = 0;
    std::int32_t markMode = 0;
    std::int32_t maxLength = 0;
    bool locked = false;
    bool readOnly = false;
    bool repeat = false;
    bool continuousRecord = false;
    bool underConstruction = false;
    std::int32_t constructionFlags = 0;
    std::int32_t gangFlags = 0;
    std::int32_t startTimecode = kNoTimecode;
    std::int32_t endTimecode = kNoTimecode;
    std::int32_t thumbnailMark = -1;
    std::vector<std::uint8_t> thumbnailImage;
    std::map<TrackKey, MovieTrack> tracks;
    std::vector<MovieSpan> sections;  // by start, not overlapping
    std::vector<MovieEdit> edits;     // by start, not overlapping

    // The end of the longest track.
    std::int32_t Length() const {
        std::int64_t length = 0;
        for (const auto& [key, track] : tracks) {
            length = std::max(length, track.End());
        }
        return static_cast<std::int32_t>(length);
    }

    std::int32_t TrackCount(std::int32_t type) const {
        std::int32_t count = 0;
        for (auto it = tracks.lower_bound({type, 0}); it != tracks.end() && it->first.first == type;
             ++it) {
            ++count;
        }
        return count;
    }
};
