#include "server/timeline/MovieStore.h"

#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/RuntimeDir.h"
#include "server/timeline/MovieError.h"
#include "server/timeline/TimelineErrors.h"

CMovieStore& CMovieStore::Instance() {
    static CMovieStore store;
    return store;
}

std::shared_ptr<CMovie> CMovieStore::Create(const CMovieName& name) {
    const std::string path = name.FilePath(GetRuntimeDir());
    CCriticalSectionLock lock(m_cs);
    std::erase_if(m_movies, [](const auto& entry) { return entry.second.expired(); });
    if (m_movies.count(path) != 0) {
        throw CMovieError(TIMELINE_E_MOVIE_EXISTS,
                          "Movie '" + name.Text() + "' is stored already ('" + path + "')");
    }
    CMovieFile file(path);
    const MovieState empty;
    try {
        file.Create(empty);
    } catch (const CMovieError& e) {
        if (e.Error() == TIMELINE_E_MOVIE_EXISTS) {
            throw CMovieError(e.Error(),
                              "Movie '" + name.Text() + "' is stored already ('" + path + "')");
        }
        throw;
    }
    auto movie = std::make_shared<CMovie>(name, std::move(file), empty);
    m_movies[path] = movie;
    return movie;
}

std::shared_ptr<CMovie> CMovieStore::Open(const CMovieName& name) {
    const std::string path = name.FilePath(GetRuntimeDir());
    CCriticalSectionLock lock(m_cs);
    if (const auto it = m_movies.find(path); it != m_movies.end()) {
        if (std::shared_ptr<CMovie> movie = it->second.lock()) {
            return movie;
        }
    }
    CMovieFile file(path);
    MovieState state;
    try {
        state = file.Read();
    } catch (const CMovieError& e) {
        if (e.Error() == TIMELINE_E_MOVIE_NOT_FOUND) {
            throw CMovieError(e.Error(), "Movie '" + name.Text() +
                                             "' is not stored (there is no '" + path + "')");
        }
        throw;
    }
    auto movie = std::make_shared<CMovie>(name, std::move(file), std::move(state));
    m_movies[path] = movie;
    return movie;
}
