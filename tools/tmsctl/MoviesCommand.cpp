// tmsctl movies: the movies stored in the runtime folder, read from their
// files (no channel or server needed).
#include <cstdio>

#include "platform/kernel/RuntimeDir.h"
#include "server/timeline/StoredMovies.h"
#include "tools/tmsctl/Commands.h"

namespace tmsctl {

int RunMovies(const Args& args) {
    std::string runtime = GetRuntimeDir();
    if (args.size() == 2 && args[0] == "--runtime") {
        runtime = args[1];
    } else if (!args.empty()) {
        std::fprintf(stderr, "usage: tmsctl movies [--runtime DIR]\n");
        return kExitUsage;
    }
    const std::vector<StoredMovie> movies = ListStoredMovies(runtime);
    if (movies.empty()) {
        std::printf("no movies in %s/movies\n", runtime.c_str());
        return kExitOk;
    }
    int result = kExitOk;
    std::printf("%-16s %-16s %-24s %6s %10s %10s %10s %s\n", "DATASET", "GROUP", "MOVIE", "TRACKS",
                "LENGTH", "MARK-IN", "MARK-OUT", "STATE");
    for (const StoredMovie& m : movies) {
        if (!m.problem.empty()) {
            std::printf("%-16s %-16s %-24s unreadable: %s\n", m.dataset.c_str(), m.group.c_str(),
                        m.movie.c_str(), m.problem.c_str());
            result = kExitFailed;
            continue;
        }
        std::printf("%-16s %-16s %-24s %6d %10d %10d %10d %s\n", m.dataset.c_str(), m.group.c_str(),
                    m.movie.c_str(), m.trackCount, m.length, m.markIn, m.markOut,
                    m.underConstruction ? "recording" : "final");
    }
    return result;
}

}  // namespace tmsctl
