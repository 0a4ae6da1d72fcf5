// CMovieFile: one movie's file, read whole and written atomically.
//
// A write puts the new text into a temporary file in the same folder, syncs
// it and renames it over the old file (a create links it in place, which
// fails when a file is there), so a reader or a crash sees the old movie or
// the new one, never a part; a write that fails leaves the old file and
// removes its temporary file. Different processes writing one movie at once
// are not serialised: the last rename wins.
//
// Thread safety: the object is constant; calls on one file from several
// threads must be serialised by the caller (CMovie does).
#pragma once

#include <string>

#include "server/timeline/MovieDisk.h"
#include "server/timeline/MovieState.h"

class CMovieFile {
public:
    explicit CMovieFile(std::string path, IMovieDisk& disk = SystemMovieDisk());

    const std::string& Path() const { return m_path; }

    // Throws CMovieError: TIMELINE_E_MOVIE_NOT_FOUND when there is no file,
    // TIMELINE_E_READ_FAULT when it cannot be read, TIMELINE_E_MOVIE_CORRUPT
    // ("Movie file '<path>' is corrupt: <what>") when it does not read back
    // whole.
    MovieState Read() const;
    // Throws CMovieError (TIMELINE_E_WRITE_FAULT, TIMELINE_E_DISK_FULL,
    // E_ACCESSDENIED) naming the file and the step that failed.
    void Replace(const MovieState& state) const;
    // As Replace, but TIMELINE_E_MOVIE_EXISTS when a file is there already.
    void Create(const MovieState& state) const;

private:
    // The text in a synced temporary file of the folder; returns its path.
    std::string WriteTemp(const std::string& text) const;
    [[noreturn]] void WriteFailed(const std::string& step, int err) const;

    std::string m_path;
    IMovieDisk* m_disk;  // not owned
};
