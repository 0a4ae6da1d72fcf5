// CTimelineContext: where the states may run. The timeline's bounds, the
// client's limits and the movie's play list (edits and sections that repeat,
// pause points) give the window of the state lists and the play limits the
// RTS holds the port to; a playing context the RTS reports at a limit is
// held there.
#include <algorithm>
#include <cmath>

#include "platform/com/Bstr.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/ErrorFrame.h"

namespace {

using namespace context_record;

constexpr std::int32_t kUnboundedMin = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kUnboundedMax = 0x7FFFFFFF;

// A uuid in its 36-character form, the width of its status field.
std::string UuidWithoutBraces(const std::string& uuid) {
    if (uuid.size() >= 2 && uuid.front() == '{' && uuid.back() == '}') {
        return uuid.substr(1, uuid.size() - 2);
    }
    return uuid;
}

// How far ahead the movie is asked for the next pause point.
constexpr long kPauseHorizon = 300;
constexpr std::int32_t kPauseModeHoldNext = 4;

// The end mode a pause point sets.
std::int32_t EndModeForPause(std::int32_t mode) {
    switch (mode) {
        case 0:
        case 4:
            return TmsStopFreeze;
        case 1:
            return TmsStopEE;
        case 2:
            return TmsStopBlack;
        default:
            return TmsStopDefault;
    }
}

std::vector<CVariant> ReadValues(CEntryPoint& trace, HRESULT hr, const CVariant& read,
                                 std::size_t count, const char* what) {
    TMS_CHECK_COM(trace, hr);
    std::vector<CVariant> values = ReadVariantArray(read.GetVARIANT());
    if (values.size() < count) {
        TMS_RAISE(trace, E_UNEXPECTED, "The movie gave %d values for '%s', not %d",
                  static_cast<int>(values.size()), what, static_cast<int>(count));
    }
    return values;
}

}  // namespace

void CTimelineContext::ReadPlayList(CEntryPoint& trace, IMovie* movie, std::int32_t m) {
    PlayListPoint& p = m_playList;
    {
        CVariant read;
        const HRESULT hr = movie->GetSectionProperties(
            CBstr(p.sectionUuid), CBstr("name+duration+startPos"), read.GetAddress());
        const auto v = ReadValues(trace, hr, read, 3, "name+duration+startPos");
        p.sectionName = v[0].ToString();
        p.sectionDuration = v[1].ToInt32();
        p.sectionStart = v[2].ToInt32();
    }
    {
        CVariant read;
        const HRESULT hr = movie->GetEditProperties(
            CBstr(p.editUuid), CBstr("name+duration+startPos+repeat"), read.GetAddress());
        const auto v = ReadValues(trace, hr, read, 4, "name+duration+startPos+repeat");
        p.editName = v[0].ToString();
        p.editDuration = v[1].ToInt32();
        p.editStart = v[2].ToInt32();
        p.editRepeat = v[3].ToBool();
    }
    {
        CVariant read;
        const HRESULT hr = movie->GetProperties(CBstr("repeat+maxLength"), read.GetAddress());
        const auto v = ReadValues(trace, hr, read, 2, "repeat+maxLength");
        p.movieRepeat = v[0].ToBool();
    }
}

void CTimelineContext::UpdateTimelineLimits(CEntryPoint& trace) {
    CTmsEntryPoint step("CTimelineContext::UpdateTimelineLimits");
    const IContextOwner::PlayListSettings settings = m_owner.PlayList();
    const std::int32_t m = m_rec.position.movie;
    const std::int32_t lastField = std::max(0, m_rec.timelineLength - 1);
    std::int32_t low = 0;
    std::int32_t high = lastField;
    // What is under construction is known only up to the record latency
    // behind the record position.
    const bool recording = m_rec.underConstruction && m_recordPhase != 2;
    if (recording) {
        high = std::max(0, high - EffectiveRecordLatency());
    }
    const bool oldPauseAtLimit = m_pauseAtLimit;
    PlayListPoint& p = m_playList;

    CComPtr<IMovie> movie = Movie();
    bool active = movie != nullptr && IsActive();
    bool changed = false;
    if (active) {
        BOOL movieChanged = FALSE;
        CBstr section, edit;
        const HRESULT hr =
            movie->GetSectionAndEdit(m_owner.ChannelNumber(), m, &movieChanged, &section, &edit);
        TMS_CHECK_COM(trace, hr);
        active = hr != S_FALSE;
        if (active) {
            changed = movieChanged != FALSE;
            p.sectionUuid = section.ToUtf8();
            p.editUuid = edit.ToUtf8();
        }
    }

    // Parking: stopped on a pause point, and still there.
    if (m_rec.speed == 0.0f && m == p.pausePosition) {
        p.parkedPosition = m;
    }
    const bool parked = p.parkedPosition != -1 && m == p.parkedPosition;
    const bool leftPause = p.parked && !parked;
    if (leftPause) {
        p.parkedPosition = -1;
    }

    bool read = false;
    bool found = false;
    if (active && (changed || m == p.pausePosition || leftPause)) {
        ReadPlayList(trace, movie, m);
        read = true;
        long pausePosition = -1, pauseMode = 3;
        HRESULT hr = movie->GetNextPause(m, kPauseHorizon, &pausePosition, &pauseMode);
        TMS_CHECK_COM(trace, hr);
        if (hr == S_OK && pausePosition == m) {
            // The pause the context stands on is behind it: the next one.
            hr = movie->GetNextPause(m + 1, kPauseHorizon, &pausePosition, &pauseMode);
            TMS_CHECK_COM(trace, hr);
        }
        found = hr != S_FALSE;
        if (found) {
            p.pausePosition = pausePosition;
            p.pauseMode = pauseMode;
        }
    }

    bool loop = false;
    bool pauseAtLimit = m_pauseAtLimit;
    if (active) {
        if (p.editRepeat && settings.listRepeats) {
            low = p.editStart;
            high = p.editStart + p.editDuration - 1;
            loop = true;
        } else if (p.movieRepeat && settings.listRepeats) {
            low = 0;
            high = lastField;
            loop = true;
        }
        pauseAtLimit = (read ? found : m_pauseAtLimit) && settings.listPauses;
        if (pauseAtLimit && read && p.pauseMode == kPauseModeHoldNext && high != p.pausePosition) {
            ++p.pausePosition;
        }
        if (!pauseAtLimit && read) {
            p.pausePosition = -1;
            p.pauseMode = 3;
        }
    }
    m_pauseAtLimit = pauseAtLimit;
    m_loop = loop;
    p.parked = parked;

    if (!parked && !leftPause) {
        const std::int32_t endMode = EndModeForPause(p.pauseMode);
        if (endMode != m_rec.endMode) {
            m_rec.endMode = endMode;
            m_rec.flags |= kEndMode;
        }
    }

    if (m_rec.startLimit != -1) {
        low = m_rec.startLimit;
    }
    if (m_rec.endLimit != -1) {
        high = m_rec.endLimit;
    }
    // Limits a change sent the wrong way round were refused (CheckLimits);
    // these come from a start limit kept past a timeline that has since got
    // shorter, or an end limit below 0. Refusing them here would refuse every
    // change after, a stop included: warn, and hold both at the lower limit
    // brought inside the timeline, so that the channel rests on material
    // that is still there.
    if (high < low) {
        trace.LogMsg("Warning, state bounds are reversed: %d - %d", low, high);
        low = high = std::clamp(low, 0, lastField);
    }
    m_timelineMin = low;
    m_timelineMax = high;

    const std::int32_t offset = m_rec.position.Offset();
    PositionPair min{kUnboundedMin, kUnboundedMin};
    PositionPair max{kUnboundedMax, kUnboundedMax};
    const bool slow = m_rec.speed >= -1.0f && m_rec.speed <= 1.0f;
    const bool unbounded = (m_owner.LoopPlayback() && !m_rec.underConstruction && slow) ||
                           (loop && !pauseAtLimit && slow);
    if (!unbounded) {
        if (m_rec.startLimit != kUnboundedMin) {
            min = {low, low + offset};
        }
        if (m_rec.endLimit != kUnboundedMax) {
            const std::int32_t last = p.pausePosition != -1 ? p.pausePosition : high;
            max = {last, last + offset};
        }
    }
    if (min.port != m_rec.minPosition.port) {
        m_rec.flags |= kMinPosition;
    }
    if (max.port != m_rec.maxPosition.port || pauseAtLimit != oldPauseAtLimit) {
        m_rec.flags |= kMaxPosition;
        if (pauseAtLimit) {
            m_rec.flags |= kPausePoint;
        }
    }
    m_rec.minPosition = min;
    m_rec.maxPosition = max;
    if ((m_rec.flags & (kMinPosition | kMaxPosition)) != 0 && m_window.FindNextLoop(0) != -1) {
        ClearStateWindow();
    }

    if ((m_rec.flags & kPosition) != 0) {
        // While recording, a cue stays the record cue latency behind what
        // has been recorded.
        const std::int32_t maxCue =
            recording ? std::max(low, high - EffectiveRecordCueLatency()) : high;
        std::int32_t forced = m;
        if (m < low) {
            trace.Trace("    %s:Ctx%d: Forcing pos %d to minPos %d", m_owner.ChannelName().c_str(),
                        m_index, m, low);
            forced = low;
        } else if (m > maxCue) {
            trace.Trace("    %s:Ctx%d: Forcing pos %d to maxCuePos %d",
                        m_owner.ChannelName().c_str(), m_index, m, maxCue);
            forced = maxCue;
        }
        m_rec.position.port += forced - m;
        m_rec.position.movie = forced;
        if (!m_window.IsPosIn(m_rec.position)) {
            ClearStateWindow();
        }
    }

    CCriticalSectionLock status(m_statusCs);
    ContextStatusBlock& s = m_status;
    s.sectionStart = p.sectionStart;
    s.sectionLength = p.sectionDuration;
    s.eventStart = p.editStart;
    s.eventLength = p.editDuration;
    s.limitTexts = {p.sectionName, p.editName, UuidWithoutBraces(p.sectionUuid),
                    UuidWithoutBraces(p.editUuid)};
    s.pauseAtLimit = m_pauseAtLimit;
}

bool CTimelineContext::HandleActiveAtLimit(CEntryPoint& trace, const StatusRecord& update) {
    CTmsEntryPoint step("CTimelineContext::HandleActiveAtLimit");
    if (!m_owner.PlayList().autoStop || update.portState != TmsShuttlePlay ||
        update.speed == 0.0f || m_rec.speed == 0.0f || !IsActive()) {
        return false;
    }
    CComPtr<IMovie> movie = Movie();
    if (movie == nullptr) {
        return false;
    }
    CVariant building;
    TMS_CHECK_COM(trace, movie->GetProperty(CBstr("UnderConstruction"), building.GetAddress()));
    // A recording without an end limit grows: the limit moves on with it.
    if (building.ToBool() && m_rec.endLimit == -1) {
        return false;
    }
    const char* word = "atLimit";
    if (m_pauseAtLimit) {
        word = "pause";
        if (m_playList.pauseMode == kPauseModeHoldNext) {
            m_rec.flags |= kSpeed;
            m_rec.speed = 0.0f;
            if (m_loop && update.moviePosition == m_timelineMax) {
                m_rec.flags |= kPosition;
                m_rec.position.port += m_timelineMin - m_rec.position.movie;
                m_rec.position.movie = m_timelineMin;
            }
        } else {
            m_rec.flags |= kAtLimit;
            m_rec.speed = 0.0f;
        }
    } else {
        m_rec.flags |= kAtLimit;
        m_rec.speed = 0.0f;
    }
    trace.Trace("    %s:Ctx%d: %s speed=0.00 pos=%d(%d)", m_owner.ChannelName().c_str(), m_index,
                word, m_rec.position.movie, m_rec.position.port);
    return true;
}
