// CMovie: one stored movie in memory. The timelines of the process that hold
// the same movie share one CMovie (CMovieStore), so each sees the others'
// changes at once.
//
// Every change works on a copy of the state, stores the copy in the movie
// file and only then takes it over: a change that cannot be stored throws
// and leaves the movie as it was. Failures are thrown as CMovieError naming
// the movie and the value at fault.
//
// Rules beyond IMovie.h:
// - A new segment has media in 0 and media out length - 1; trimming moves
//   its media out with its duration; UpdateSegment sets the media marks only
//   (the duration stays).
// - The complex media name of a segment with a file type other than 0 is
//   "<dataset>/<group>/<movie>/t<type>n<number>s<code>": unique in the
//   process, since segment codes are never reused in a movie.
// - minMarkIn is 0 and maxMarkOut the movie's length: marks may lie anywhere
//   on the recorded material.
// - Mark texts are the mark's time from the start of the movie.
// - Sections may not overlap either. A position that no explicit section
//   (edit) covers reads as the movie's implicit one, uuid "".
// - The changed flag of SectionAndEdit counts every stored change.
//
// Thread safety: every method may be called from any thread at once. m_cs
// guards the state and is held while a change is written to the file, so
// writes of one movie never overtake each other. Lock order: CMovieStore's
// lock before m_cs; nothing is called out while m_cs is held.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/com/Variant.h"
#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/timeline/MovieFile.h"
#include "server/timeline/MovieName.h"
#include "server/timeline/MovieState.h"
#include "server/timeline/SegmentIndex.h"

// A segment as IMovie's queries describe it.
struct MovieSegmentView {
    MovieSegment segment;
    std::int32_t start = 0;
    std::string mediaName;  // "" for file type 0
    std::string editUuid;   // the explicit edit covering its start, or ""
};

// The section and edit at a position.
struct MoviePlace {
    bool changed = false;
    std::string sectionUuid;
    std::string editUuid;
};

class CMovie {
public:
    CMovie(CMovieName name, CMovieFile file, MovieState state);
    CMovie(const CMovie&) = delete;
    CMovie& operator=(const CMovie&) = delete;

    const CMovieName& Name() const { return m_name; }

    // Properties (MovieProperties.cpp). names is "+"-joined; the answer is
    // VT_ARRAY | VT_VARIANT.
    CVariant GetProperty(const std::string& name) const;
    CVariant GetProperties(const std::string& names) const;
    void SetProperty(const std::string& name, const VARIANT& value);

    // Construction and marks (Movie.cpp).
    void SetConstruction(std::int32_t flags, std::int32_t gangFlags, bool on);
    void SetVideoFormat(const std::string& format);
    void SetEndTimecode(std::int32_t packed);
    void SetMarks(std::int32_t markIn, std::int32_t markOut, std::int32_t mode, bool final);
    void Extend(std::int32_t start, std::int32_t end);

    // Tracks and segments (MovieTracks.cpp). A code of 0 means none.
    std::int32_t TrackCount(std::int32_t type) const;
    std::uint16_t AppendSegment(TrackKey track, std::int32_t length, std::int32_t fileType,
                                const std::string& name);
    void RemoveSegment(TrackKey track, std::uint16_t code);
    void TrimSegment(TrackKey track, std::uint16_t code, std::int32_t duration);
    std::uint16_t LastSegment(TrackKey track, std::int32_t fromEnd) const;
    std::uint16_t SegmentAt(TrackKey track, std::int32_t position) const;
    MovieSegmentView Segment(TrackKey track, std::uint16_t code) const;
    void SetSegmentMediaData(TrackKey track, std::uint16_t code, const MediaDataBlock& block);
    void UpdateSegment(TrackKey track, std::uint16_t code, std::int32_t mediaIn,
                       std::int32_t mediaOut, std::int32_t mode);
    void SetTrackLabel(TrackKey track, const std::string& label);
    // -1 when fewer than occurrence + 1 tracks of the type carry the label.
    std::int32_t TrackByLabel(std::int32_t type, const std::string& label,
                              std::int32_t occurrence) const;

    // The play list (MoviePlayList.cpp). Each Add hands out the new uuid.
    std::string AddEdit(std::int32_t start, std::int32_t duration, const std::string& name,
                        bool repeat, std::int32_t pauseMode);
    std::string AddSection(std::int32_t start, std::int32_t duration, const std::string& name);
    // False when the position is outside the movie.
    bool SectionAndEdit(std::int32_t channel, std::int32_t position, MoviePlace* place);
    CVariant SectionProperties(const std::string& uuid, const std::string& names) const;
    CVariant EditProperties(const std::string& uuid, const std::string& names) const;
    // False when no edit covers the position.
    bool EditAt(std::int32_t position, std::string* uuid) const;
    // False when no pause point lies in [position, position + horizon).
    bool NextPause(std::int32_t position, std::int32_t horizon, std::int32_t* pausePosition,
                   std::int32_t* pauseMode) const;

private:
    // Runs change on a copy of the state, stores the copy and takes it over.
    template <class F>
    void Change(F&& change) EXCLUDES(m_cs) {
        CCriticalSectionLock lock(m_cs);
        MovieState next = m_state;
        change(next);
        m_file.Replace(next);
        CSegmentIndex index(next);
        m_state = std::move(next);
        m_index = std::move(index);
        ++m_revision;
    }
    // Runs read on the state under the lock.
    template <class F>
    auto Read(F&& read) const EXCLUDES(m_cs) {
        CCriticalSectionLock lock(m_cs);
        return read(static_cast<const MovieState&>(m_state));
    }
    // As Read, with the segment index of the state.
    template <class F>
    auto ReadIndexed(F&& read) const EXCLUDES(m_cs) {
        CCriticalSectionLock lock(m_cs);
        return read(static_cast<const MovieState&>(m_state),
                    static_cast<const CSegmentIndex&>(m_index));
    }

    // "Movie 'd/g/m': " + text, for failures.
    std::string Says(const std::string& text) const;
    [[noreturn]] void Refuse(const std::string& text) const;
    // The existing track, or a failure naming it.
    const MovieTrack& TrackOf(const MovieState& state, TrackKey track) const;
    MovieTrack& TrackOf(MovieState& state, TrackKey track) const;
    std::size_t IndexOf(const MovieTrack& t, TrackKey track, std::uint16_t code) const;
    void CheckTrackKey(TrackKey track) const;
    MovieSegmentView View(const MovieState& state, TrackKey track, std::size_t index,
                          std::int64_t start) const;
    CVariant PropertyOf(const MovieState& state, const std::string& name) const;
    CVariant SpanProperties(const MovieState& state, const std::string& uuid,
                            const std::string& names, bool edit) const;

    const CMovieName m_name;
    const CMovieFile m_file;
    mutable CCriticalSection m_cs;
    MovieState m_state GUARDED_BY(m_cs);
    CSegmentIndex m_index GUARDED_BY(m_cs);  // of m_state
    std::uint64_t m_revision GUARDED_BY(m_cs) = 1;
    // The revision each channel saw at its last SectionAndEdit.
    std::map<std::int32_t, std::uint64_t> m_seenRevision GUARDED_BY(m_cs);
};
