// CTmsResVideo: its states in the state message, and what it writes into
// the movie when a record starts, ends, or meets a new AFD.
#include <cstring>

#include "platform/kernel/CriticalSectionLock.h"
#include "server/timeline/IMovie.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/ByteField.h"
#include "tmschannel/resources/TmsResVideo.h"
#include "tmschannel/rts/RtsMessages.h"

using bytefield::Get16;
using bytefield::Put16;

HRESULT CTmsResVideo::AddState(IMovie*, std::int32_t m, std::int32_t p, bool record,
                               bool boundedRecord, const MediaSegmentInfo& segment,
                               rts::CStateMessageBuilder& message) {
    rts::VideoStateRecord state{};
    state.start = p;
    state.fileCode = segment.fileCode;
    state.mediaPosition = m - segment.start + segment.markIn;
    state.remaining = FieldsLeft(m, record, boundedRecord, segment);
    state.offset = m - segment.start;
    state.videoFlags = segment.fileType == 5 || segment.fileType == 6
                           ? Get16(segment.mediaData, 0)
                           : Get16(segment.mediaData, 24);
    return message.AddVideoState(state);
}

HRESULT CTmsResVideo::AddBlackState(IMovie*, std::int32_t m, std::int32_t p,
                                    rts::CStateMessageBuilder& message,
                                    std::int32_t pastLastSegment, std::int32_t toWindowEnd) {
    rts::VideoStateRecord state{};
    state.start = p;
    state.remaining = toWindowEnd;
    state.offset = pastLastSegment;
    return message.AddVideoState(state);
}

HRESULT CTmsResVideo::HandlePortStateChange(IMovie* movie, std::uint16_t, std::int32_t,
                                            TmsPortState oldState, TmsPortState newState) {
    CTmsEntryPoint trace("CTmsResVideo::HandlePortStateChange");
    return TMS_ERROR_FRAME(trace, [&] {
        if (oldState == newState || movie == nullptr) {
            return;
        }
        if (newState == TmsShuttleRecord && IsAssignedForRecord()) {
            WriteMediaDataToLastSegment(trace, movie);
            return;
        }
        if (oldState != TmsShuttleRecord || newState != TmsIdle || !IsAssignedForRecord()) {
            return;
        }
        {
            CCriticalSectionLock lock(m_cs);
            if ((m_ancDataStatus.afd & 0x40) == 0) {
                return;
            }
            if ((m_ancDataStatus.afd & 0x20) != 0) {
                m_afdCode = m_ancDataStatus.afd & 0x0F;
                m_widescreen = (m_ancDataStatus.afd & 0x10) != 0;
            } else {
                GetDefaultAfdLocked(&m_afdCode, &m_widescreen);
            }
            m_afdPosition = 0;
        }
        CheckHr(trace, HandleRecordUpdate(movie, 0));
        CCriticalSectionLock lock(m_cs);
        m_afdCode = 0;
        m_lastWrittenAfdCode = 0;
        m_afdPosition = -1;
        m_lastWrittenAfdPosition = -1;
    });
}

HRESULT CTmsResVideo::HandleRecordUpdate(IMovie* movie, std::int32_t recordOrigin) {
    CTmsEntryPoint trace("CTmsResVideo::HandleRecordUpdate");
    return TMS_ERROR_FRAME(trace, [&] {
        std::uint8_t code = 0;
        bool widescreen = false;
        std::int32_t position = -1;
        std::string compression;
        {
            CCriticalSectionLock lock(m_cs);
            code = m_afdCode;
            widescreen = m_widescreen;
            position = m_afdPosition;
            compression = m_compression;
            const bool changed = code != m_lastWrittenAfdCode ||
                                 (position != -1 && position != m_lastWrittenAfdPosition);
            if (!changed || movie == nullptr) {
                return;
            }
            m_lastWrittenAfdCode = code;
            m_lastWrittenAfdPosition = position;
        }
        unsigned short segment = 0;
        const HRESULT hr = movie->GetSegmentAtPosition(m_trackType, m_resourceNumber,
                                                       position - recordOrigin, &segment);
        TMS_CHECK_COM(trace, hr);
        if (segment == 0) {
            return;
        }
        BYTE block[kMediaDataSize] = {};
        GetMediaData(block);
        auto afdWord = [&](std::uint16_t word) {
            return static_cast<std::uint16_t>((word & 0x703F) | (code << 8) | 0x8000 |
                                              (widescreen ? 0x80 : 0x40));
        };
        if (m_trackType == 5 || m_trackType == 6) {
            Put16(block, 0, afdWord(Get16(block, 0)));
        } else if (m_trackType == 4 || m_trackType == 7) {
            Put16(block, 24, afdWord(Get16(block, 24)));
        } else {
            trace.LogMsg("Unknown video compression type: '%s'", compression.c_str());
        }
        TMS_CHECK_COM(trace, movie->SetSegmentMediaData(m_trackType, m_resourceNumber, segment, 1,
                                                        sizeof block, block));
    });
}
