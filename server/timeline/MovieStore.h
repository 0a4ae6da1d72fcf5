// CMovieStore: the process's stored movies in memory. Every timeline of the
// process that holds one stored movie gets the same CMovie; the store keeps
// only weak references, so a movie leaves memory with its last timeline and
// is read from its file again at the next open.
//
// Movies live in the runtime folder of the moment (GetRuntimeDir()), keyed
// by their file's path.
//
// Thread safety: Create and Open may be called from any thread at once;
// m_cs guards the table and is held while a movie file is read or created,
// so two threads never load one movie twice. Lock order: a movie builder's
// lock, then m_cs, then a movie's lock.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/kernel/CriticalSection.h"
#include "server/timeline/Movie.h"
#include "server/timeline/MovieName.h"

class CMovieStore {
public:
    static CMovieStore& Instance();

    // A new empty movie, stored before it is handed out. Throws CMovieError:
    // TIMELINE_E_MOVIE_EXISTS when the movie is stored already, or the
    // write's failure.
    std::shared_ptr<CMovie> Create(const CMovieName& name);
    // The stored movie. Throws CMovieError: TIMELINE_E_MOVIE_NOT_FOUND,
    // TIMELINE_E_MOVIE_CORRUPT, or the read's failure.
    std::shared_ptr<CMovie> Open(const CMovieName& name);

private:
    CCriticalSection m_cs;
    std::map<std::string, std::weak_ptr<CMovie>> m_movies GUARDED_BY(m_cs);
};
