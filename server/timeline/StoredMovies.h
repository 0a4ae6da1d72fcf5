// The movies stored in a runtime folder, for listings (tmsctl movies).
//
// Thread safety: reads files only; call from any thread. A movie written
// while it is listed shows its old or its new content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StoredMovie {
    std::string dataset;
    std::string group;
    std::string movie;
    std::int32_t trackCount = 0;
    std::int32_t length = 0;  // fields: the end of the longest track
    std::int32_t markIn = 0;
    std::int32_t markOut = 0;
    bool underConstruction = false;
    // "" when the file reads back whole; else why not (the counts are 0).
    std::string problem;
};

// Every <runtimeDir>/movies/<dataset>/<group>/<movie>.movie, sorted by
// dataset, group and movie. No movies folder: an empty list.
std::vector<StoredMovie> ListStoredMovies(const std::string& runtimeDir);
