#include "server/timeline/StoredMovies.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "server/timeline/MovieError.h"
#include "server/timeline/MovieFile.h"
#include "server/timeline/MovieName.h"

namespace fs = std::filesystem;

namespace {

constexpr char kExtension[] = ".movie";

std::vector<fs::path> Folders(const fs::path& parent) {
    std::vector<fs::path> folders;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(parent, ec)) {
        if (e.is_directory(ec)) {
            folders.push_back(e.path());
        }
    }
    return folders;
}

StoredMovie Describe(const fs::path& file, const std::string& dataset, const std::string& group) {
    StoredMovie m;
    m.dataset = dataset;
    m.group = group;
    m.movie = file.stem().string();
    for (const std::string* part : {&m.dataset, &m.group, &m.movie}) {
        const std::string problem = CMovieName::Problem(*part);
        if (!problem.empty()) {
            m.problem = "the name '" + *part + "' " + problem;
            return m;
        }
    }
    try {
        const MovieState state = CMovieFile(file.string()).Read();
        m.trackCount = static_cast<std::int32_t>(state.tracks.size());
        m.length = state.Length();
        m.markIn = state.markIn;
        m.markOut = state.markOut;
        m.underConstruction = state.underConstruction;
    } catch (const CMovieError& e) {
        m.problem = e.what();
    }
    return m;
}

}  // namespace

std::vector<StoredMovie> ListStoredMovies(const std::string& runtimeDir) {
    std::vector<StoredMovie> movies;
    for (const fs::path& dataset : Folders(CMovieName::MoviesFolder(runtimeDir))) {
        for (const fs::path& group : Folders(dataset)) {
            std::error_code ec;
            for (const fs::directory_entry& e : fs::directory_iterator(group, ec)) {
                const fs::path& p = e.path();
                // Temporary files (.movie-write-XXXXXX) have no extension.
                if (e.is_regular_file(ec) && p.extension() == kExtension) {
                    movies.push_back(
                        Describe(p, dataset.filename().string(), group.filename().string()));
                }
            }
        }
    }
    std::sort(movies.begin(), movies.end(), [](const StoredMovie& a, const StoredMovie& b) {
        return std::tie(a.dataset, a.group, a.movie) < std::tie(b.dataset, b.group, b.movie);
    });
    return movies;
}
