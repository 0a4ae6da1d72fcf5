#include "server/timeline/TimelineCodeTable.h"

std::uint16_t CTimelineCodeTable::Take(const CMovieName& name) {
    for (std::uint16_t code = 1; code <= kLastCode; ++code) {
        if (!m_open[code]) {
            m_open[code] = name;
            return code;
        }
    }
    return 0;
}

CTimelineCodeTable::CloseResult CTimelineCodeTable::Close(std::uint16_t code,
                                                          const CMovieName& name) {
    if (code == 0 || code > kLastCode || !m_open[code]) {
        return CloseResult::kUnknownCode;
    }
    if (!(*m_open[code] == name)) {
        return CloseResult::kOtherMovie;
    }
    m_open[code].reset();
    return CloseResult::kClosed;
}

const CMovieName* CTimelineCodeTable::MovieOf(std::uint16_t code) const {
    return code != 0 && code <= kLastCode && m_open[code] ? &*m_open[code] : nullptr;
}
