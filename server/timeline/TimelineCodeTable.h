// CTimelineCodeTable: the timeline codes a movie builder has handed out,
// 1 to 255, each for one movie; the lowest free code goes out first, and a
// closed code is free again.
//
// Thread safety: none of its own; the movie builder guards it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "server/timeline/MovieName.h"

class CTimelineCodeTable {
public:
    static constexpr std::uint16_t kLastCode = 255;

    enum class CloseResult { kClosed, kUnknownCode, kOtherMovie };

    // The lowest free code, now taken for name; 0 when all are taken.
    std::uint16_t Take(const CMovieName& name);
    // Frees code when it is open for name.
    CloseResult Close(std::uint16_t code, const CMovieName& name);
    // The movie a code is open for.
    const CMovieName* MovieOf(std::uint16_t code) const;

private:
    std::array<std::optional<CMovieName>, kLastCode + 1> m_open;  // [0] unused
};
