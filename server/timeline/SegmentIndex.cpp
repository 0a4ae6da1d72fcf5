#include "server/timeline/SegmentIndex.h"

#include <algorithm>

CSegmentIndex::CSegmentIndex(const MovieState& state) {
    for (const auto& [key, track] : state.tracks) {
        Track& t = m_tracks[key];
        t.ends.reserve(track.segments.size());
        t.byCode.reserve(track.segments.size());
        std::int64_t end = 0;
        for (std::size_t i = 0; i < track.segments.size(); ++i) {
            end += track.segments[i].duration;
            t.ends.push_back(end);
            t.byCode.emplace(track.segments[i].code, i);
        }
    }
}

const CSegmentIndex::Track* CSegmentIndex::TrackAt(TrackKey track) const {
    const auto it = m_tracks.find(track);
    return it == m_tracks.end() ? nullptr : &it->second;
}

bool CSegmentIndex::Find(TrackKey track, std::uint16_t code, std::size_t* index) const {
    const Track* t = TrackAt(track);
    if (t == nullptr) {
        return false;
    }
    const auto it = t->byCode.find(code);
    if (it == t->byCode.end()) {
        return false;
    }
    *index = it->second;
    return true;
}

std::int64_t CSegmentIndex::Start(TrackKey track, std::size_t index) const {
    const Track* t = TrackAt(track);
    return t == nullptr || index == 0 ? 0 : t->ends.at(index - 1);
}

bool CSegmentIndex::At(TrackKey track, std::int64_t position, std::size_t* index) const {
    const Track* t = TrackAt(track);
    if (t == nullptr || position < 0) {
        return false;
    }
    // The first segment ending after the position starts at or before it;
    // empty segments end where they start and are passed over.
    const auto it = std::upper_bound(t->ends.begin(), t->ends.end(), position);
    if (it == t->ends.end()) {
        return false;
    }
    *index = static_cast<std::size_t>(it - t->ends.begin());
    return true;
}
