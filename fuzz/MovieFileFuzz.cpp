// Feeds arbitrary bytes to the movie file reader. A file is read whole or
// refused as corrupt; what it reads must write back to a file that reads
// again to the same text. Any other exception, crash, over-read or undefined
// behaviour is a finding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/timeline/MovieError.h"
#include "server/timeline/MovieFileFormat.h"
#include "server/timeline/TimelineErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    MovieState state;
    try {
        state = ParseMovieFileText(text);
    } catch (const CMovieError& e) {
        if (e.Error() != TIMELINE_E_MOVIE_CORRUPT) {
            std::abort();
        }
        return 0;
    }
    const std::string written = MovieFileText(state);
    try {
        if (MovieFileText(ParseMovieFileText(written)) != written) {
            std::abort();  // a second round trip changed the movie
        }
    } catch (const CMovieError&) {
        std::abort();  // the reader refused what the writer wrote
    }
    return 0;
}
