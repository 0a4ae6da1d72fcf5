// CMovie: tracks and segments.
#include <limits>

#include "server/timeline/Movie.h"
#include "server/timeline/MovieError.h"
#include "server/timeline/NewUuid.h"
#include "server/timeline/TimelineErrors.h"

namespace {

std::string TrackText(TrackKey track) {
    return "track (" + std::to_string(track.first) + ", " + std::to_string(track.second) + ")";
}

std::string SegmentText(TrackKey track, std::uint16_t code) {
    return "segment " + std::to_string(code) + " of " + TrackText(track);
}

}  // namespace

void CMovie::CheckTrackKey(TrackKey track) const {
    if (!IsMovieTrackType(track.first)) {
        Refuse("track type " + std::to_string(track.first) +
               " is not a movie track type (2, 3, 4 to 7, 9 or 10)");
    }
    if (track.second < 0) {
        Refuse("track number " + std::to_string(track.second) + " is negative");
    }
}

const MovieTrack& CMovie::TrackOf(const MovieState& state, TrackKey track) const {
    CheckTrackKey(track);
    const auto it = state.tracks.find(track);
    if (it == state.tracks.end()) {
        Refuse("there is no " + TrackText(track) + "; type " + std::to_string(track.first) +
               " has " + std::to_string(state.TrackCount(track.first)) + " tracks");
    }
    return it->second;
}

MovieTrack& CMovie::TrackOf(MovieState& state, TrackKey track) const {
    return const_cast<MovieTrack&>(TrackOf(static_cast<const MovieState&>(state), track));
}

std::size_t CMovie::IndexOf(const MovieTrack& t, TrackKey track, std::uint16_t code) const {
    for (std::size_t i = 0; i < t.segments.size(); ++i) {
        if (t.segments[i].code == code) {
            return i;
        }
    }
    Refuse("there is no " + SegmentText(track, code));
}

MovieSegmentView CMovie::View(const MovieState& state, TrackKey track, std::size_t index,
                              std::int64_t start) const {
    const MovieTrack& t = state.tracks.at(track);
    MovieSegmentView view;
    view.segment = t.segments[index];
    view.start = static_cast<std::int32_t>(start);
    if (view.segment.fileType != 0) {
        view.mediaName = m_name.Text() + "/t" + std::to_string(track.first) + "n" +
                         std::to_string(track.second) + "s" + std::to_string(view.segment.code);
    }
    for (const MovieEdit& e : state.edits) {
        if (e.Covers(view.start)) {
            view.editUuid = e.uuid;
        }
    }
    return view;
}

std::int32_t CMovie::TrackCount(std::int32_t type) const {
    CheckTrackKey({type, 0});
    return Read([&](const MovieState& s) { return s.TrackCount(type); });
}

std::uint16_t CMovie::AppendSegment(TrackKey track, std::int32_t length, std::int32_t fileType,
                                    const std::string& name) {
    CheckTrackKey(track);
    if (length < 0) {
        Refuse("a segment of " + TrackText(track) + " cannot have the length " +
               std::to_string(length));
    }
    std::uint16_t code = 0;
    Change([&](MovieState& s) {
        const std::int32_t count = s.TrackCount(track.first);
        if (track.second > count) {
            Refuse("cannot append to " + TrackText(track) + ": type " +
                   std::to_string(track.first) + " has " + std::to_string(count) +
                   " tracks, so the next new track is number " + std::to_string(count));
        }
        if (s.nextSegmentCode > kLastSegmentCode) {
            throw CMovieError(
                TIMELINE_E_NO_FREE_SEGMENT_CODE,
                Says("all " + std::to_string(kLastSegmentCode) + " segment codes have been used"));
        }
        MovieTrack& t = s.tracks[track];
        if (t.End() + length > std::numeric_limits<std::int32_t>::max()) {
            Refuse("a segment of " + std::to_string(length) + " fields would take " +
                   TrackText(track) + " past the last position");
        }
        MovieSegment seg;
        seg.code = static_cast<std::uint16_t>(s.nextSegmentCode++);
        seg.fileType = fileType;
        seg.name = name;
        seg.uuid = NewUuidText();
        seg.naturalDuration = length;
        seg.duration = length;
        seg.mediaIn = 0;
        seg.mediaOut = length - 1;
        const auto type = static_cast<std::uint32_t>(fileType);
        for (int i = 0; i < 4; ++i) {
            seg.mediaData[tmstrack::kMediaDataFileTypeOffset + i] =
                static_cast<std::uint8_t>(type >> (8 * i));
        }
        t.segments.push_back(std::move(seg));
        code = t.segments.back().code;
    });
    return code;
}

void CMovie::RemoveSegment(TrackKey track, std::uint16_t code) {
    Change([&](MovieState& s) {
        MovieTrack& t = TrackOf(s, track);
        t.segments.erase(t.segments.begin() + static_cast<std::ptrdiff_t>(IndexOf(t, track, code)));
    });
}

void CMovie::TrimSegment(TrackKey track, std::uint16_t code, std::int32_t duration) {
    Change([&](MovieState& s) {
        MovieTrack& t = TrackOf(s, track);
        MovieSegment& seg = t.segments[IndexOf(t, track, code)];
        if (duration < 1 || duration > seg.duration) {
            Refuse("cannot trim " + SegmentText(track, code) + " to " + std::to_string(duration) +
                   " fields: the duration must be 1 to " + std::to_string(seg.duration));
        }
        seg.duration = duration;
        seg.mediaOut = seg.mediaIn + duration - 1;
    });
}

std::uint16_t CMovie::LastSegment(TrackKey track, std::int32_t fromEnd) const {
    CheckTrackKey(track);
    if (fromEnd >= 0) {
        Refuse("segments are counted from the end from -1 (the last), not " +
               std::to_string(fromEnd));
    }
    return Read([&](const MovieState& s) -> std::uint16_t {
        const auto it = s.tracks.find(track);
        if (it == s.tracks.end()) {
            return 0;
        }
        const std::int64_t index = static_cast<std::int64_t>(it->second.segments.size()) + fromEnd;
        return index < 0 ? 0 : it->second.segments[static_cast<std::size_t>(index)].code;
    });
}

std::uint16_t CMovie::SegmentAt(TrackKey track, std::int32_t position) const {
    CheckTrackKey(track);
    return ReadIndexed([&](const MovieState& s, const CSegmentIndex& index) -> std::uint16_t {
        std::size_t i = 0;
        if (!index.At(track, position, &i)) {
            return 0;
        }
        return s.tracks.at(track).segments[i].code;
    });
}

MovieSegmentView CMovie::Segment(TrackKey track, std::uint16_t code) const {
    return ReadIndexed([&](const MovieState& s, const CSegmentIndex& index) {
        TrackOf(s, track);
        std::size_t i = 0;
        if (!index.Find(track, code, &i)) {
            Refuse("there is no " + SegmentText(track, code));
        }
        return View(s, track, i, index.Start(track, i));
    });
}

void CMovie::SetSegmentMediaData(TrackKey track, std::uint16_t code, const MediaDataBlock& block) {
    Change([&](MovieState& s) {
        MovieTrack& t = TrackOf(s, track);
        t.segments[IndexOf(t, track, code)].mediaData = block;
    });
}

void CMovie::UpdateSegment(TrackKey track, std::uint16_t code, std::int32_t mediaIn,
                           std::int32_t mediaOut, std::int32_t mode) {
    if (mode < 1 || mode > 3) {
        Refuse("segment update mode " + std::to_string(mode) +
               " is not 1 (media in), 2 (media out) or 3 (both)");
    }
    Change([&](MovieState& s) {
        MovieTrack& t = TrackOf(s, track);
        MovieSegment& seg = t.segments[IndexOf(t, track, code)];
        const std::int32_t in = (mode & 1) != 0 ? mediaIn : seg.mediaIn;
        const std::int32_t out = (mode & 2) != 0 ? mediaOut : seg.mediaOut;
        if (in < 0 || std::int64_t{out} < std::int64_t{in} - 1) {
            Refuse("media in " + std::to_string(in) + " and media out " + std::to_string(out) +
                   " of " + SegmentText(track, code) + " are not a media range");
        }
        seg.mediaIn = in;
        seg.mediaOut = out;
    });
}

void CMovie::SetTrackLabel(TrackKey track, const std::string& label) {
    Change([&](MovieState& s) { TrackOf(s, track).label = label; });
}

std::int32_t CMovie::TrackByLabel(std::int32_t type, const std::string& label,
                                  std::int32_t occurrence) const {
    CheckTrackKey({type, 0});
    return Read([&](const MovieState& s) {
        std::int32_t seen = 0;
        for (auto it = s.tracks.lower_bound({type, 0});
             it != s.tracks.end() && it->first.first == type; ++it) {
            if (it->second.label == label && seen++ == occurrence) {
                return it->first.second;
            }
        }
        return -1;
    });
}
