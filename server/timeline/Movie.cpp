#include "server/timeline/Movie.h"

#include "platform/com/HResult.h"
#include "server/timeline/MovieError.h"
#include "server/timeline/TimecodeFormat.h"
#include "server/timeline/VideoFormatNames.h"

CMovie::CMovie(CMovieName name, CMovieFile file, MovieState state)
    : m_name(std::move(name)),
      m_file(std::move(file)),
      m_state(std::move(state)),
      m_index(m_state) {}

std::string CMovie::Says(const std::string& text) const {
    return "Movie '" + m_name.Text() + "': " + text;
}

void CMovie::Refuse(const std::string& text) const {
    throw CMovieError(E_INVALIDARG, Says(text));
}

void CMovie::SetConstruction(std::int32_t flags, std::int32_t gangFlags, bool on) {
    Change([&](MovieState& s) {
        s.constructionFlags = flags;
        s.gangFlags = gangFlags;
        s.underConstruction = on;
    });
}

void CMovie::SetVideoFormat(const std::string& format) {
    if (!IsMovieVideoFormatName(format)) {
        Refuse("'" + format + "' is not a video format; the formats are " +
               MovieVideoFormatNames());
    }
    Change([&](MovieState& s) {
        // The stored timecodes must stay timecodes of the new rate.
        const CTimecodeFormat rate(format);
        for (const std::int32_t packed : {s.startTimecode, s.endTimecode}) {
            const std::string problem = rate.PackedProblem(packed);
            if (!problem.empty()) {
                Refuse("cannot change the video format to '" + format + "': the timecode " +
                       std::to_string(packed) + " " + problem);
            }
        }
        s.videoFormat = format;
    });
}

void CMovie::SetEndTimecode(std::int32_t packed) {
    Change([&](MovieState& s) {
        const std::string problem = CTimecodeFormat(s.videoFormat).PackedProblem(packed);
        if (!problem.empty()) {
            Refuse("the end timecode " + std::to_string(packed) + " " + problem);
        }
        s.endTimecode = packed < 0 ? kNoTimecode : packed;
    });
}

void CMovie::SetMarks(std::int32_t markIn, std::int32_t markOut, std::int32_t mode, bool final) {
    if (markIn < -1 || markOut < -1) {
        Refuse("marks are positions (or -1 to keep one), not " + std::to_string(markIn) + " and " +
               std::to_string(markOut));
    }
    Change([&](MovieState& s) {
        const std::int32_t in = markIn == -1 ? s.markIn : markIn;
        const std::int32_t out = markOut == -1 ? s.markOut : markOut;
        if (in > out) {
            Refuse("mark in " + std::to_string(in) + " would be after mark out " +
                   std::to_string(out));
        }
        s.markIn = in;
        s.markOut = out;
        s.markMode = mode;
        if (final) {
            s.maxLength = out - in;
        }
    });
}

void CMovie::Extend(std::int32_t start, std::int32_t end) {
    if (end < start) {
        Refuse("cannot extend to end " + std::to_string(end) + " before start " +
               std::to_string(start));
    }
    Change([&](MovieState& s) {
        if (end < s.markIn) {
            Refuse("cannot extend to end " + std::to_string(end) + " before mark in " +
                   std::to_string(s.markIn));
        }
        s.maxLength = end - s.markIn;
    });
}
