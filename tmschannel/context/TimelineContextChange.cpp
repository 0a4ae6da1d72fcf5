// CTimelineContext: a client's change and the RTS's updates, and the state
// messages that follow from them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "server/appserverutil/ChanAccess.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/PortStateMachine.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

using namespace context_record;

constexpr HRESULT kBadPortState = HR(0x80043003);
constexpr DWORD kSendTimeoutMs = 60000;
// A context's states are sent again this long after its last state message
// (the status hand-on hands the record on for it then).
constexpr DWORD kStateRefreshMs = CStatusHandOn::kRefreshMs;
constexpr std::int32_t kUnboundedMin = static_cast<std::int32_t>(0x80000000u);
constexpr std::int32_t kUnboundedMax = 0x7FFFFFFF;
// Construction of a movie recorded by a context.
constexpr long kConstructionFlags = 0x20000000;
constexpr long kGangedConstruction = 0x10000;
// The track of a resource that plays black throughout.
constexpr std::int32_t kNoTrack = 0x7FFFFFFF;
// The thumbnail mark of the context region of the channel's status block.
constexpr std::size_t kStatusThumbnailMark = 0x155C4;

const char* TriggerWord(std::int32_t trigger) {
    switch (trigger) {
        case rts::kTriggerAsap:
            return "trig=Asap ";
        case 4:
            return "trig=Now ";
        case rts::kTriggerManual:
            return "trig=Manual ";
        case 3:
            return "trig=Follow ";
        default:
            return "trig=None ";
    }
}

// A change's trace line, built on the stack: every change formats one.
// Cut where the log would cut it.
class CTraceLine {
public:
    void Add(const char* text) { Append("%s", text); }
    void Append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (m_used + 1 >= sizeof m_text) {
            return;
        }
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(m_text + m_used, sizeof m_text - m_used, format, args);
        va_end(args);
        if (n > 0) {
            m_used = std::min(m_used + static_cast<std::size_t>(n), sizeof m_text - 1);
        }
    }
    const char* Text() const { return m_text; }

private:
    char m_text[CEntryPoint::kMessageSize] = {};
    std::size_t m_used = 0;
};

bool Recording(std::int32_t state) {
    return state == TmsCueRecord || state == TmsShuttleRecord;
}

}  // namespace

std::int32_t CTimelineContext::FieldsPerSecond() const {
    // A second as the timecode of the format counts it: an interlaced
    // format's frame rate already counts fields, so rate times fields per
    // frame would be two seconds.
    return m_latency.oneSecond > 0 ? m_latency.oneSecond : 60;
}

bool CTimelineContext::LimitChangePurges() const {
    return (m_owner.LoopPlayback() || m_loop) && !Recording(m_rec.portState);
}

void CTimelineContext::ClearStateWindow() {
    const bool had = m_window.Clear();
    m_rec.markIn = m_rec.markOut = m_rec.position;
    if (had) {
        m_rec.flags |= kPurge;
    }
}

void CTimelineContext::ApplyPortStateChange(CEntryPoint& trace, std::int32_t requested) {
    CTmsEntryPoint step("CTimelineContext::ApplyPortStateChange %d", requested);
    const std::int32_t current = m_rec.portState;
    if (!port_state_machine::IsAllowed(current, requested)) {
        TMS_RAISE(trace, kBadPortState, "%s:Ctx%d: Cannot go from portState %d to portState %d",
                  m_owner.ChannelName().c_str(), m_index, current, requested);
    }
    if (requested == current) {
        m_rec.flags &= ~static_cast<std::uint32_t>(kPortState);
    } else {
        m_rec.portState = requested;
    }
    if (!m_owner.EeBoard()) {
        bool desired = m_defaultIdleEe;
        if (Recording(m_rec.portState)) {
            desired = true;
        } else if (m_rec.portState == TmsCuePlay || m_rec.portState == TmsShuttlePlay) {
            desired = false;
        }
        if (desired != m_defaultIdleEe) {
            CheckHr(trace, m_owner.SetDefaultIdleMode(desired, false));
            m_defaultIdleEe = desired;
        }
    }
}

void CTimelineContext::ApplyPositionChange(CEntryPoint& trace, std::int32_t moviePosition) {
    CTmsEntryPoint step("CTimelineContext::ApplyPositionChange");
    if (m_rec.portState == TmsIdle) {
        TMS_RAISE(trace, kBadPortState, "%s:Ctx%d: Cannot change position while portState = %d",
                  m_owner.ChannelName().c_str(), m_index, m_rec.portState);
    }
    m_rec.position.port += moviePosition - m_rec.position.movie;
    m_rec.position.movie = moviePosition;
}

void CTimelineContext::ApplySpeedChange(CEntryPoint& trace, float speed, bool* deferred) {
    CTmsEntryPoint step("CTimelineContext::ApplySpeedChange %0.2f", static_cast<double>(speed));
    *deferred = false;
    const float current = m_rec.speed;
    if (speed == current) {
        m_rec.flags &= ~static_cast<std::uint32_t>(kSpeed);
        return;
    }
    const bool slowNow = std::fabs(current) <= 1.0f;
    const bool slowNext = std::fabs(speed) <= 1.0f;
    if (slowNow != slowNext || (current < 1.0f && speed > 1.0f) ||
        (current > 1.0f && speed < 1.0f)) {
        ClearStateWindow();
    }
    if (m_rec.portState == TmsShuttlePlay && current > 1.0f && slowNext &&
        m_rec.underConstruction && m_recordPhase != 2) {
        const std::int32_t offset = m_timelineMax - m_rec.position.movie;
        const std::int32_t cueLatency = EffectiveRecordCueLatency();
        if (offset >= cueLatency) {
            trace.LogMsg("%s:Ctx%d: Speed change not too close to maxPos: offset = %d",
                         m_owner.ChannelName().c_str(), m_index, offset);
        } else {
            trace.LogMsg("%s:Ctx%d: Speed change too close to maxPos: offset = %d",
                         m_owner.ChannelName().c_str(), m_index, offset);
            *deferred = true;
            speed = 0.0f;
        }
    }
    m_rec.speed = speed;
}

void CTimelineContext::ApplyStop() {
    m_rec.flags |= kStopAsIdle;
    if (m_rec.portState == TmsShuttlePlay) {
        m_rec.speed = 0.0f;
    } else if (m_rec.portState == TmsCuePlay) {
        m_rec.portState = TmsShuttlePlay;
        m_rec.speed = 0.0f;
    }
}

void CTimelineContext::CheckSpeed(CEntryPoint& trace, float speed) const {
    // A pause is always possible: a range that leaves 0 out must not keep a
    // client from holding the port.
    const IContextOwner::SpeedRange range = m_owner.ShuttleSpeedRange();
    if (!std::isfinite(speed) || (speed != 0.0f && (speed < range.min || speed > range.max))) {
        TMS_RAISE(trace, E_INVALIDARG,
                  "%s:Ctx%d: Speed %g is outside the channel's shuttle range %g to %g",
                  m_owner.ChannelName().c_str(), m_index, static_cast<double>(speed),
                  static_cast<double>(range.min), static_cast<double>(range.max));
    }
}

void CTimelineContext::CheckLimits(CEntryPoint& trace, const ChangeRecord& client) const {
    if ((client.flags & (kStartLimit | kEndLimit)) == 0) {
        return;
    }
    const std::int32_t start = (client.flags & kStartLimit) != 0
                                   ? static_cast<std::int32_t>(client.startLimit)
                                   : m_rec.startLimit;
    const std::int32_t end = (client.flags & kEndLimit) != 0
                                 ? static_cast<std::int32_t>(client.endLimit)
                                 : m_rec.endLimit;
    const bool bounded = start != -1 && start != kUnboundedMin && end != -1 && end != kUnboundedMax;
    if (bounded && start > end) {
        TMS_RAISE(trace, E_INVALIDARG,
                  "%s:Ctx%d: Play limits are reversed: start limit %d is after end limit %d",
                  m_owner.ChannelName().c_str(), m_index, start, end);
    }
}

void CTimelineContext::SaveStates(StateSnapshot& snapshot) const {
    snapshot.filesEntered = m_files.Entered();
}

void CTimelineContext::RestoreStates(StateSnapshot& snapshot) {
    m_window.Undo();
    // Files known before keep their records: their states are back. A file
    // the change brought is used by no state now; unless the RTS opened it,
    // it is forgotten at once.
    bool opened = false;
    std::vector<std::string> brought;
    for (const auto& [name, file] : m_files) {
        if (file->entered > snapshot.filesEntered) {
            brought.push_back(name);
        }
    }
    for (const std::string& name : brought) {
        MediaFileInfo* file = m_files.Lookup(name);
        if (file->fileState == 0) {
            m_files.FreeFileCode(static_cast<std::uint16_t>(file->fileCode));
            m_files.Remove(name);
        } else {
            opened = true;
        }
    }
    if (opened) {
        // Best effort: a close the RTS refuses too is sent again with the
        // next state message.
        SendFileStates(false);
    }
}

HRESULT CTimelineContext::ApplyContextChange(std::uint32_t token, const unsigned char* change) {
    CTmsEntryPoint trace("CTimelineContext::ApplyContextChange");
    bool applyThumbnail = false;
    const HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);
        if (Token() != token || m_timeline == nullptr) {
            trace.SetResult(S_FALSE);
            return;
        }
        ChangeRecord client{};
        std::memcpy(&client, change, sizeof client);
        if ((client.flags & kSpeed) != 0) {
            CheckSpeed(trace, client.speed);
        }
        CheckLimits(trace, client);
        const Current saved = m_rec;
        StateSnapshot states(m_window);
        SaveStates(states);
        try {
            CTraceLine line;
            line.Append("    %s:Ctx%d: ", m_owner.ChannelName().c_str(), m_index);
            m_rec.flags = client.flags;
            m_rec.timelineLength = client.timelineLength;
            m_rec.recordOffset = client.recordOffset;
            m_rec.underConstruction = client.underConstruction != 0;
            m_rec.readOnly = client.readOnly != 0;
            m_rec.remote = client.remote != 0;
            const std::uint32_t flags = client.flags;
            bool thumbnail = false;
            if (m_firstChangePending) {
                // A change that acts at once makes this the channel's movie.
                if (client.trigger == rts::kTriggerAsap || client.trigger == 4) {
                    CheckHr(trace, SaveMovieStatus(false, true, true));
                } else {
                    CheckHr(trace, SavePreviewStatus(false));
                }
                m_rec.flags |= kEndMode | kIdleMode;
                m_rec.endMode = m_rec.idleMode = TmsStopDefault;
                thumbnail = true;
            }
            if (client.trigger != 0) {
                m_rec.flags |= kTrigger;
                m_rec.trigger = client.trigger;
                line.Add(TriggerWord(client.trigger));
            }
            if ((flags & kPortState) != 0) {
                ApplyPortStateChange(trace, client.portState);
                line.Add(PortStateWord(client.portState));
            }
            if ((flags & kStop) != 0) {
                ApplyStop();
                line.Add("stop ");
            }
            bool purge = false;
            if ((flags & kStartLimit) != 0) {
                m_rec.startLimit = client.startLimit;
                purge = purge || LimitChangePurges();
                line.Append("startLimit=%d ", m_rec.startLimit);
            }
            if ((flags & kEndLimit) != 0) {
                m_rec.endLimit = client.endLimit;
                purge = purge || LimitChangePurges();
                if (m_rec.endLimit == kNoEndLimit) {
                    line.Add("endLimit=MAX ");
                } else {
                    line.Append("endLimit=%d ", m_rec.endLimit);
                }
            }
            bool deferred = false;
            if ((flags & kSpeed) != 0) {
                ApplySpeedChange(trace, client.speed, &deferred);
                if (deferred) {
                    line.Add("speed=0.00 ");
                } else {
                    line.Append("speed=%0.2f ", static_cast<double>(client.speed));
                }
            }
            if ((flags & kPosition) != 0) {
                ApplyPositionChange(trace, client.position.movie);
                line.Append("pos=%d ", m_rec.position.movie);
            }
            if ((flags & kConstruction) != 0) {
                if (!saved.underConstruction && m_rec.underConstruction) {
                    line.Append("Starting construction for '%s' ", AssetUri().c_str());
                } else if (saved.underConstruction && !m_rec.underConstruction) {
                    line.Append("Ending construction for '%s' ", AssetUri().c_str());
                    purge = true;
                } else {
                    line.Append("readOnly=%d ", client.readOnly);
                }
            }
            if ((flags & kPurge) != 0 || purge) {
                ClearStateWindow();
                line.Add("purge ");
            }
            bool thumbnailMark = false;
            if ((flags & kEdit) != 0) {
                if ((client.editOptions & kEditIsThumbnail) != 0) {
                    thumbnailMark = thumbnail = true;
                    line.Append("thumbnail=%d ", static_cast<int>(client.editStart));
                } else {
                    ApplyEditChange(client.editStart, client.editEnd, client.editDelta,
                                    client.editOptions);
                    line.Append(
                        "editStart=%d editEnd=%d editDelta=%d ", static_cast<int>(client.editStart),
                        static_cast<int>(client.editEnd), static_cast<int>(client.editDelta));
                }
            }
            if (!(m_rec.underConstruction && flags == kEdit)) {
                trace.Trace("%s", line.Text());
            }
            if (!thumbnailMark) {
                CheckHr(trace, SendState(&states));
                if (deferred) {
                    // The record cue latency (in fields) times 16 ms.
                    std::this_thread::sleep_for(std::chrono::milliseconds(
                        static_cast<std::int64_t>(EffectiveRecordCueLatency()) * 16));
                    rts::PortContextRecord speed{};
                    speed.flags = kSpeed;
                    speed.speed = client.speed;
                    CheckHr(trace, SendImmediateState(speed));
                }
            }
            m_firstChangePending = false;
            applyThumbnail = thumbnail;
        } catch (...) {
            // Once the RTS has taken the state message it acts on the new
            // record and window; a later failure (closing unused files, the
            // deferred speed) is reported but undoes nothing.
            if (states.taken) {
                m_firstChangePending = false;
            } else {
                m_rec = saved;
                RestoreStates(states);
            }
            throw;
        }
    });
    // Outside the context lock: it waits for the status file's mutex.
    if (SUCCEEDED(hr) && applyThumbnail) {
        ApplyThumbnailChange();
    }
    return hr;
}

HRESULT CTimelineContext::ApplyThumbnailChange() {
    CTmsEntryPoint trace("CTimelineContext::ApplyThumbnailChange");
    return TMS_ERROR_FRAME(trace, [&] {
        CComPtr<IMovie> movie = Movie();
        CChanAccess* access = m_owner.ChanAccess();
        if (movie == nullptr || access == nullptr) {
            trace.SetResult(S_FALSE);
            return;
        }
        CVariant read;
        TMS_CHECK_COM(
            trace, movie->GetProperties(CBstr("thumbnailMark+thumbnailImage"), read.GetAddress()));
        const std::vector<CVariant> values = ReadVariantArray(read.GetVARIANT());
        if (values.size() < 2) {
            TMS_RAISE(trace, E_UNEXPECTED, "%s:Ctx%d: the movie gave %d thumbnail values, not 2",
                      m_owner.ChannelName().c_str(), m_index, static_cast<int>(values.size()));
        }
        const std::int32_t mark = values[0].ToInt32();
        if (mark == -1) {
            CheckHr(trace, access->ClearThumbnail());
            return;
        }
        if (CStatusFileLock status(access); status.Acquired()) {
            status.Write32(kStatusThumbnailMark, static_cast<std::uint32_t>(mark));
        }
        CheckHr(trace, access->SetThumbnail(values[1].GetVARIANT()));
    });
}

void CTimelineContext::ShiftForEdit(std::int32_t delta) {
    m_window.ShiftMovie(delta);
    m_rec.position.movie += delta;
    m_rec.markIn = m_window.Empty() ? m_rec.position : m_window.First().position;
    m_rec.markOut = m_window.Empty() ? m_rec.position : m_window.Last().position;
}

void CTimelineContext::ApplyEditChange(std::int32_t start, std::int32_t end, std::int32_t delta,
                                       std::int32_t options) {
    CTmsEntryPoint trace("CTimelineContext::ApplyEditChange");
    if (m_rec.minPosition.movie == 0 && m_rec.maxPosition.movie == 0) {
        return;
    }
    const PositionPair first = m_window.Empty() ? m_rec.position : m_window.First().position;
    const PositionPair last = m_window.Empty() ? m_rec.position : m_window.Last().position;
    const std::int32_t offset = m_rec.position.Offset();
    const PositionPair editStart{start, start + offset};
    const PositionPair editEnd{end, end + offset};
    const bool playing = m_rec.portState == TmsCuePlay || m_rec.portState == TmsShuttlePlay;
    bool clobbered = false;
    if ((options & 0x1) == 0) {
        const std::int32_t m = m_rec.position.movie;
        if (delta >= 1 && playing) {
            if (start <= m) {
                ShiftForEdit(delta);
            }
        } else if (delta < 0) {
            if (end < m) {
                ShiftForEdit(delta);
            } else if (m >= start && m <= end) {
                clobbered = true;
                std::int32_t to = start;
                if (m_rec.underConstruction && m_rec.speed >= 1.0f) {
                    to += 5 * FieldsPerSecond();
                }
                m_rec.position.port += to - m;
                m_rec.position.movie = to;
                m_rec.flags |= kPosition;
            }
        }
    }
    auto within = [&](const PositionPair& p) {
        return first.port <= p.port && p.port <= last.port;
    };
    const bool overlap = (editStart.port < first.port && editEnd.port > last.port) ||
                         within(editStart) || within(editEnd);
    const bool stopped =
        m_rec.portState == TmsCuePlay || (m_rec.portState == TmsShuttlePlay && m_rec.speed == 0.0f);
    if (!overlap) {
        if (stopped) {
            ClearStateWindow();
        }
    } else if (m_rec.underConstruction) {
        if ((m_rec.portState == TmsShuttlePlay && m_rec.speed < 1.0f) || clobbered) {
            ClearStateWindow();
        }
    } else if (playing) {
        ClearStateWindow();
    }
    if (m_rec.portState != TmsIdle && !Recording(m_rec.portState) &&
        m_rec.position.movie > m_rec.timelineLength - 1) {
        const std::int32_t to = m_rec.timelineLength - 1;
        m_rec.position.port += to - m_rec.position.movie;
        m_rec.position.movie = to;
        m_rec.flags |= kPosition;
    } else if (m_rec.position.movie < 0) {
        m_rec.position.port -= m_rec.position.movie;
        m_rec.position.movie = 0;
        m_rec.flags |= kPosition;
    }
}

HRESULT CTimelineContext::WritePortContext(rts::PortContextRecord* ctx) {
    CTmsEntryPoint trace("CTimelineContext::WritePortContext");
    return TMS_ERROR_FRAME(trace, [&] {
        const PositionPair first = m_window.Empty() ? m_rec.position : m_window.First().position;
        const PositionPair last = m_window.Empty() ? m_rec.position : m_window.Last().position;
        auto same = [](const PositionPair& a, const PositionPair& b) {
            return a.movie == b.movie && a.port == b.port;
        };
        if (!same(first, m_rec.markIn) || !same(last, m_rec.markOut)) {
            m_rec.flags |= kMarks;
            m_rec.markIn = first;
            m_rec.markOut = last;
        }
        const std::uint32_t low = m_rec.flags & kRtsFlagsMask;
        if (low == 0) {
            trace.SetResult(S_FALSE);
            return;
        }
        if ((low & ~static_cast<std::uint32_t>(kMarks | kPurge)) != 0) {
            TakeChangeId();
        }
        const std::int32_t fieldsPerFrame = tmsvideo::FieldsPerFrame(m_owner.VideoFormat());
        *ctx = {};
        ctx->contextIndex = m_index;
        ctx->flags = low;
        ctx->changeId = m_rec.changeId;
        ctx->trigger = m_rec.trigger;
        ctx->portState = m_rec.portState;
        ctx->position = m_rec.position.port;
        ctx->minPosition = m_rec.minPosition.port;
        ctx->maxPosition = m_rec.maxPosition.port;
        ctx->endMode = m_rec.endMode;
        ctx->idleMode = m_rec.idleMode;
        ctx->speed = m_rec.speed;
        ctx->markIn = m_rec.markIn.port;
        ctx->markOut = m_rec.markOut.port + (fieldsPerFrame == 2 ? 1 : 0);
    });
}

HRESULT CTimelineContext::SendState(StateSnapshot* snapshot) {
    CTmsEntryPoint trace("CTimelineContext::SendState");
    return TMS_ERROR_FRAME(trace, [&] {
        if (m_timeline == nullptr) {
            trace.SetResult(S_FALSE);
            return;
        }
        UpdateTimelineLimits(trace);
        const std::int32_t fieldsPerFrame = tmsvideo::FieldsPerFrame(m_owner.VideoFormat());
        const double step =
            std::max<double>(fieldsPerFrame * std::fabs(m_rec.speed), fieldsPerFrame);
        const std::int32_t loopStart = m_timelineMin;
        const std::int32_t loopEnd = m_timelineMax - (fieldsPerFrame == 2 ? 1 : 0);
        bool forward = m_rec.speed > 0.0f;
        if (m_rec.speed == 0.0f) {
            forward = m_rec.position.port >= m_window.LastListPosition().port;
        }
        PositionPair from = m_rec.position;
        if (fieldsPerFrame == 2 && from.movie % 2 != 0) {
            --from.movie;
            --from.port;
        }
        CStateWindow::ListContext list;
        list.portState = m_rec.portState;
        list.timelineLength = m_rec.timelineLength;
        list.recordPhase = m_recordPhase;
        list.fieldsPerFrame = fieldsPerFrame;
        list.speed = m_rec.speed;
        list.underConstruction = m_rec.underConstruction;
        list.loopOn = m_owner.LoopPlayback() || m_loop;
        std::vector<StateEntry*> states;
        const auto built =
            m_rec.speed < 0.0f || !forward
                ? m_window.CreateReverse(list, from, loopStart, loopEnd, step, &states)
                : m_window.CreateForward(list, from, loopStart, loopEnd, step, &states);
        if (built.purged) {
            m_rec.flags |= kPurge;
        }
        rts::PortContextRecord ctx{};
        const HRESULT wrote = WritePortContext(&ctx);
        CheckHr(trace, wrote);
        if (wrote == S_OK) {
            rts::CStateMessageBuilder message(m_stateMessage);
            CheckHr(trace, message.Begin(ctx));
            CComPtr<IMovie> movie = Movie();
            if (!states.empty() && movie != nullptr) {
                const bool record = Recording(m_rec.portState) || m_rec.underConstruction;
                CVariant continuous;
                TMS_CHECK_COM(
                    trace, movie->GetProperty(CBstr("continuousRecord"), continuous.GetAddress()));
                const bool bounded = continuous.ToBool();
                StateWriteTarget target{movie, &message, &m_files, m_timelineMin, m_timelineMax};
                for (const auto& resource : m_owner.Resources()) {
                    if (record && !resource->IsAssignedForRecord()) {
                        continue;
                    }
                    // A follower of a gang plays black where the leader's
                    // tracks already carry the material.
                    const std::int32_t track =
                        IsRedundantGangResource(*resource)
                            ? kNoTrack
                            : resource->GetMappedTrackNum(this, movie, record);
                    CheckHr(trace, resource->WriteStates(target, track, record, bounded, states));
                }
                if (record) {
                    NoteRecordVolume();
                }
            }
            CheckHr(trace, message.Finish());
            CheckHr(trace, SendFileStates(true));
            CheckHr(trace, m_owner.SendRtsMsg(m_stateMessage, kSendTimeoutMs));
            if (snapshot != nullptr) {
                // The RTS holds the new states: the old window's references
                // go, so that files it alone used close now.
                snapshot->taken = true;
                m_window.EndUndo();
            }
            CheckHr(trace, SendFileStates(false));
        }
        m_lastStateMessageTick = m_owner.Clock().TickCount();
    });
}

HRESULT CTimelineContext::ApplyContextUpdate(std::uint32_t token, const unsigned char* update) {
    CTmsEntryPoint trace("CTimelineContext::ApplyContextUpdate");
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);
        if (Token() != token || m_timeline == nullptr) {
            trace.SetResult(S_FALSE);
            return;
        }
        StatusRecord u{};
        std::memcpy(&u, update, sizeof u);
        const std::int32_t changeId = u.changeId;
        const bool accepted =
            changeId == m_rec.changeId || (changeId < 0 && (changeId == -1 || changeId == -2 ||
                                                            changeId != m_rec.previousChangeId));
        const std::int32_t trigger = u.triggerStatus;
        if (!accepted || trigger < 2 || trigger > 4) {
            return;
        }
        m_rec.flags = 0;
        const std::int32_t reported = u.portState;
        float speed = u.speed;
        if (!std::isfinite(speed)) {
            // A speed no state list can be built for: the context keeps its
            // own, and takes the port state and position the update reports.
            trace.LogMsg("%s:Ctx%d: Update %d reports speed %g, not finite: speed ignored",
                         m_owner.ChannelName().c_str(), m_index, static_cast<int>(changeId),
                         static_cast<double>(speed));
            speed = m_rec.speed;
        }
        if (changeId < 0 && changeId != m_rec.changeId) {
            const bool real = !(reported == TmsIdle &&
                                (m_rec.portState == TmsCuePlay || m_rec.portState == TmsCueRecord ||
                                 m_rec.portState == TmsShuttleRecord));
            if (speed != m_rec.speed || (reported != m_rec.portState && real)) {
                m_rec.portState = reported;
                m_rec.speed = speed;
                trace.Trace("    %s:Ctx%d: triggered %sspeed=%0.2f ", m_owner.ChannelName().c_str(),
                            m_index, PortStateWord(reported), static_cast<double>(speed));
            }
            m_rec.previousChangeId = m_rec.changeId;
            m_rec.changeId = changeId;
        }
        m_rec.position = {u.moviePosition, u.portPosition};
        m_rec.reportedChangeId = changeId;
        const DWORD now = m_owner.Clock().TickCount();
        // A record's first report updates its movie at once, however soon
        // after this context's previous record: the timecode the RTS
        // captured at the start is stamped only while it reports it, and a
        // record shorter than the refresh would otherwise never be stamped.
        const bool recordStarts =
            reported == TmsShuttleRecord && m_lastReportedPortState != TmsShuttleRecord;
        const bool recordUpdateDue =
            reported == TmsShuttleRecord &&
            (recordStarts || TickDiff(now, m_lastRecordUpdateTick) >= kStateRefreshMs);
        if (recordUpdateDue) {
            m_lastRecordUpdateTick = now;
        }
        const std::int32_t previous = m_lastReportedPortState;
        m_lastReportedPortState = reported;
        HandlePortStateChange(trace, u.moviePosition, previous, reported);
        if (recordUpdateDue) {
            HandleRecordUpdate(trace, u);
        }
        // A record that began construction, or whose movie grew, has its
        // states written anew at once: the queued ones were written before
        // its media existed and record into black.
        if ((m_rec.flags & kPurge) != 0) {
            SendStateKeepingWindow(trace);
            return;
        }
        if (recordUpdateDue) {
            return;
        }
        const bool atLimit = trigger == TmsTriggerEnded && HandleActiveAtLimit(trace, u);
        if (atLimit || TickDiff(now, m_lastStateMessageTick) >= kStateRefreshMs) {
            SendStateKeepingWindow(trace);
        }
    });
}

void CTimelineContext::SendStateKeepingWindow(CEntryPoint& trace) {
    StateSnapshot states(m_window);
    SaveStates(states);
    if (const HRESULT hr = SendState(&states); FAILED(hr) && !states.taken) {
        RestoreStates(states);
        CheckHr(trace, hr);
    }
}

void CTimelineContext::HandlePortStateChange(CEntryPoint& trace, std::int32_t moviePosition,
                                             std::int32_t oldState, std::int32_t newState) {
    CTmsEntryPoint step("CTimelineContext::HandlePortStateChange");
    CComPtr<IMovie> movie = Movie();
    if (movie == nullptr) {
        return;
    }
    const auto resources = m_owner.Resources();
    for (const auto& resource : resources) {
        if (IsRedundantGangResource(*resource)) {
            continue;
        }
        CheckHr(trace, resource->HandlePortStateChange(movie, m_cycle, moviePosition,
                                                       static_cast<TmsPortState>(oldState),
                                                       static_cast<TmsPortState>(newState)));
    }
    if (oldState == newState) {
        return;
    }
    const bool ganged = m_owner.Ganged();
    const long construction = kConstructionFlags | (ganged ? kGangedConstruction : 0);
    if (newState == TmsShuttleRecord) {
        CVariant building;
        TMS_CHECK_COM(trace, movie->GetProperty(CBstr("underConstruction"), building.GetAddress()));
        if (!building.ToBool()) {
            m_recordPhase = 1;
            TMS_CHECK_COM(trace, movie->SetConstruction(construction, 0, TRUE));
            // The states queued for the cue were written before the record's
            // segments existed: they record into black.
            ClearStateWindow();
        }
        if (ganged) {
            // Every gang member's record segment reaches one continuous-record
            // segment ahead, so the gang's tracks end together.
            const std::int32_t ahead = m_owner.ContinuousRecordFields();
            for (const auto& resource : resources) {
                const std::int32_t type = resource->TrackType();
                if (type == 0 || !resource->IsAssignedForRecord() ||
                    IsRedundantGangResource(*resource)) {
                    continue;
                }
                const std::int32_t track = resource->GetMappedTrackNum(this, movie, true);
                unsigned short code = 0;
                TMS_CHECK_COM(trace, movie->GetLastSegment(type, track, 0, -1, &code));
                if (code == 0) {
                    continue;
                }
                long fileType = 0, mediaIn = 0, mediaOut = 0, duration = 0;
                CBstr name;
                TMS_CHECK_COM(trace,
                              movie->GetSegmentDescription(type, track, code, &fileType, &name,
                                                           &mediaIn, &mediaOut, &duration));
                TMS_CHECK_COM(trace,
                              movie->UpdateSegment(type, track, code, -1, mediaIn + ahead, 2));
            }
        }
    }
    if (oldState == TmsShuttleRecord && newState == TmsIdle) {
        const std::int32_t end = m_rec.recordOffset + moviePosition + (moviePosition > 0 ? 1 : 0);
        SetMarks(trace, movie, -1, end, 2, true);
        m_rec.portState = TmsIdle;
        m_recordPhase = 2;
        m_pauseAtLimit = false;
        TMS_CHECK_COM(trace, movie->SetConstruction(construction, 0, FALSE));
        m_rec.underConstruction = false;
        m_recordPhase = 0;
    }
}

bool CTimelineContext::IsRedundantGangResource(CTmsResource& resource) const {
    if (!m_ganged || m_gangOrder <= 0) {
        return false;
    }
    if (m_mappedAudioOffset == 0 && m_mappedVideoOffset == 0) {
        return false;
    }
    const std::u16string& type = resource.TypeName();
    if (m_mappedAudioOffset > 0 && m_mappedVideoOffset == 0) {
        return type != u"audio";
    }
    if (m_mappedAudioOffset == 0 && m_mappedVideoOffset > 0) {
        return type != u"video";
    }
    return type != u"audio" && type != u"video";
}
