// CMovieName: the (dataset, group, movie) names of a stored movie, checked so
// that each is one plain folder or file name: not empty, at most 200 bytes
// of UTF-8, no '/', '\\' or control character, and not "." or "..".
//
// The movie is stored at <runtime folder>/movies/<dataset>/<group>/<movie>.movie.
//
// Thread safety: a value; constant after construction.
#pragma once

#include <string>

class CMovieName {
public:
    static constexpr std::size_t kMaxBytes = 200;

    // Throws CMovieError(E_INVALIDARG) naming the part that breaks the rules.
    CMovieName(std::string dataset, std::string group, std::string movie);

    // "" when text is a valid name part, else why not (for listings).
    static std::string Problem(const std::string& text);

    const std::string& Dataset() const { return m_dataset; }
    const std::string& Group() const { return m_group; }
    const std::string& Movie() const { return m_movie; }

    // "dataset/group/movie", as messages name a movie.
    std::string Text() const;
    // "movie:///dataset/group/movie".
    std::string Uri() const;
    std::string FilePath(const std::string& runtimeDir) const;
    static std::string MoviesFolder(const std::string& runtimeDir);

    friend bool operator==(const CMovieName&, const CMovieName&) = default;

private:
    std::string m_dataset;
    std::string m_group;
    std::string m_movie;
};
