#include "tmschannel/context/TimelineContext.h"

#include <chrono>
#include <thread>

#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/ContextStatusNames.h"
#include "tmschannel/context/ContextToken.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/TmsVfs.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

constexpr DWORD kSendTimeoutMs = 60000;
constexpr HRESULT kUnknownProperty = HR(0x8004300f);
constexpr DWORD kRevokeIdleWaitMs = 5000;
constexpr DWORD kSlowCloseMs = 200;
constexpr auto kPollInterval = std::chrono::milliseconds(32);
// Change flags of an immediate state (the "ctx " chunk's flags word).
constexpr std::uint32_t kFlagPortState = 0x0004;

}  // namespace

const char* PortStateWord(std::int32_t state) {
    switch (state) {
        case TmsCuePlay:
            return "portState=Cue ";
        case TmsShuttlePlay:
            return "portState=Play ";
        case TmsCueRecord:
            return "portState=CueRecord ";
        case TmsShuttleRecord:
            return "portState=Record ";
        default:
            return "portState=Idle ";
    }
}

const char* StopModeWord(std::int32_t mode) {
    switch (mode) {
        case TmsStopFreeze:
            return "Freeze ";
        case TmsStopEE:
            return "EE ";
        case TmsStopBlack:
            return "Black ";
        default:
            return "Default ";
    }
}

CTimelineContext::CTimelineContext(std::int32_t index, IXMLDOMNode* config, IContextOwner& owner)
    : m_index(index), m_owner(owner) {
    CTmsEntryPoint trace("CTimelineContext::CTimelineContext %d", index);
    CheckHr(trace, InitFromConfig(config, false));
    Reset();
}

HRESULT CTimelineContext::InitFromConfig(IXMLDOMNode* config, bool refresh) {
    CTmsEntryPoint trace("CTimelineContext::InitFromConfig");
    return TMS_ERROR_FRAME(trace, [&] {
        bool purge = false;
        {
            CCriticalSectionLock lock(m_cs);
            CConfigReader reader(trace);
            m_sharedStorage = reader.Node(config, "./Config/System/SharedStorage") != nullptr;
            std::int32_t order = -1;
            const std::string gang = FormatText("//Channel[@id=\"%s\"]/Ganging/@gangOrder",
                                                m_owner.ChannelName().c_str());
            if (!reader.Long(config, gang, &order)) {
                order = -1;
            }
            m_gangOrder = order;
            if (m_gangOrder == -1) {
                m_ganged = false;
                m_mappedAudioOffset = m_mappedVideoOffset = 0;
            }
            const std::uint16_t rate = tmsvideo::TimecodeFormatCode(m_owner.VideoFormat(), false);
            auto fields = [rate](int seconds) {
                return static_cast<std::int32_t>(CTimecode(0, 0, seconds, 0, rate).ToFieldCount());
            };
            m_latency.oneSecond = fields(1);
            m_latency.record = fields(3);
            m_latency.recordCue = fields(2);
            m_latency.sharedRecord = fields(7);
            m_latency.sharedRecordCue = fields(2);
            m_latency.remoteRecord = fields(15);
            m_latency.remoteRecordCue = fields(4);
            purge = refresh && Token() != 0;
        }
        if (purge) {
            CheckHr(trace, PurgeAllStates());
        }
    });
}

std::int32_t CTimelineContext::RecordLatency() const {
    CCriticalSectionLock lock(m_cs);
    return EffectiveRecordLatency();
}

std::int32_t CTimelineContext::RecordCueLatency() const {
    CCriticalSectionLock lock(m_cs);
    return EffectiveRecordCueLatency();
}

std::int32_t CTimelineContext::EffectiveRecordLatency() const {
    if (m_rec.remote) {
        return m_latency.remoteRecord;
    }
    return m_sharedStorage ? m_latency.sharedRecord : m_latency.record;
}

std::int32_t CTimelineContext::EffectiveRecordCueLatency() const {
    if (m_rec.remote) {
        return m_latency.remoteRecordCue;
    }
    return m_sharedStorage ? m_latency.sharedRecordCue : m_latency.recordCue;
}

HRESULT CTimelineContext::SetProperty(const std::string& name, const VARIANT& value) {
    CTmsEntryPoint trace("CTimelineContext::SetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);
        const CVariant v(value);
        if (name == "gangedctx") {
            m_ganged = v.ToBool();
        } else if (name == "mappedaudiooffset") {
            m_mappedAudioOffset = v.ToInt32();
        } else if (name == "mappedvideooffset") {
            m_mappedVideoOffset = v.ToInt32();
        } else {
            TMS_RAISE(trace, kUnknownProperty, "%s:Ctx%d: Unknown context property '%s'",
                      m_owner.ChannelName().c_str(), m_index, name.c_str());
        }
    });
}

std::int32_t CTimelineContext::MappedVideoOffset() const {
    CCriticalSectionLock lock(m_cs);
    return m_mappedVideoOffset;
}

std::int32_t CTimelineContext::MappedAudioOffset() const {
    CCriticalSectionLock lock(m_cs);
    return m_mappedAudioOffset;
}

std::string CTimelineContext::AssetUri() const {
    // As the movie or preview status last saved it.
    CCriticalSectionLock status(m_statusCs);
    return m_status.assetUri;
}

void CTimelineContext::SetMarks(CEntryPoint& trace, IMovie* movie, std::int32_t markIn,
                                std::int32_t markOut, std::int32_t mode, bool final) {
    CTmsEntryPoint step("CTimelineContext::SetMarks");
    // In a gang the first context speaks for the movie.
    if (m_ganged && m_gangOrder != 0) {
        return;
    }
    TMS_CHECK_COM(trace, movie->SetMarks(markIn, markOut, mode, final ? TRUE : FALSE));
}

HRESULT CTimelineContext::HandleOfflineEvent(TmsPortState portState) {
    CTmsEntryPoint trace("CTimelineContext::HandleOfflineEvent");
    return TMS_ERROR_FRAME(trace, [&] {
        std::string uri;
        bool force = false;
        {
            CCriticalSectionLock lock(m_cs);
            CChanAccess* access = m_owner.ChanAccess();
            if (access == nullptr) {
                return;
            }
            bool channelOffline = false;
            bool systemOffline = false;
            access->IsChanOffline(channelOffline);
            access->IsSysOffline(systemOffline);
            const bool offline = channelOffline || systemOffline;
            if (offline == m_offline) {
                return;
            }
            m_offline = offline;
            const std::uint32_t token = Token();
            if (!offline) {
                trace.LogMsg("Ch%d,Cxt%d: back online", context_token::Channel(token),
                             context_token::Index(token));
                return;
            }
            force = portState != TmsIdle;
            uri = force ? AssetUri() : std::string();
            if (force) {
                trace.LogMsg("Ch%d,Cxt%d: taken offline. Forcing '%s' to idle",
                             context_token::Channel(token), context_token::Index(token),
                             uri.c_str());
            }
        }
        if (force) {
            rts::PortContextRecord stop{};
            stop.flags = context_record::kStopAsIdle;
            CheckHr(trace, SendImmediateState(stop));
        }
    });
}

CTimelineContext::~CTimelineContext() {
    CTmsEntryPoint trace("CTimelineContext::~CTimelineContext");
    RevokeTimeline();
}

void CTimelineContext::Reset() {
    m_rec = Current{};
    m_recordPhase = 0;
    m_firstChangePending = true;
    m_defaultIdleEe = m_owner.ChannelType() != "Player";
    m_loop = false;
    m_pauseAtLimit = false;
    m_playList = PlayListPoint{};
    m_timelineMin = m_timelineMax = 0;
    m_lastReportedPortState = TmsIdle;
    m_lastTriggerStatus = 0;
    m_handOn.Forget();
    {
        CCriticalSectionLock status(m_statusCs);
        m_status = ContextStatusBlock{};
    }
    // A new allocation's first cue must not follow the last one's list.
    m_window.Reset();
}

bool CTimelineContext::Reserve(std::uint32_t token) {
    // No context lock: the caller holds the channel lock, and the token is
    // an atomic that nothing else sets while it is 0.
    std::uint32_t expected = 0;
    return m_token.compare_exchange_strong(expected, token, std::memory_order_acq_rel);
}

void CTimelineContext::Unreserve(std::uint32_t token) {
    CCriticalSectionLock lock(m_cs);
    std::uint32_t expected = token;
    if (m_token.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        m_timeline.Release();
        m_broker.Release();
        m_assigned = false;
        Reset();
    }
}

bool CTimelineContext::IsActive() const {
    const std::uint32_t token = Token();
    return token != 0 && m_owner.RtsShmem().IsActiveContext(context_token::Channel(token),
                                                            context_token::Index(token)) != FALSE;
}

bool CTimelineContext::IsFree(std::int32_t channel) const {
    if (Token() != 0) {
        return false;
    }
    TmsPortContextTriggerStatus trigger{};
    return m_owner.RtsShmem().GetTriggerStatus(channel, m_index, &trigger) != FALSE && trigger == 0;
}

HRESULT CTimelineContext::RegisterTimeline(std::uint32_t token, ITmsContextBroker* broker,
                                           ITimeline* timeline, bool publish) {
    CTmsEntryPoint trace("CTimelineContext::RegisterTimeline 0x%x", token);
    return TMS_ERROR_FRAME(trace, [&] {
        if (timeline == nullptr || broker == nullptr) {
            TMS_RAISE(trace, E_POINTER, "%s:Ctx%d: no timeline or broker to register",
                      m_owner.ChannelName().c_str(), m_index);
        }
        CComPtr<ITimeline> registered(timeline);
        {
            CCriticalSectionLock lock(m_cs);
            m_token.store(token, std::memory_order_release);
            m_assigned = true;
            m_timeline = registered;
            m_broker = broker;
            m_handOn.Forget();
        }
        TMS_CHECK_COM(trace, registered->RegisterContext(token, broker));
        if (publish) {
            // The caller undoes the context on failure; the timeline's
            // registration is undone here, or it would keep handing status
            // to a context that is free again.
            if (const HRESULT hr = SaveMovieStatus(false, true, true); FAILED(hr)) {
                registered->RevokeContext(token);
                CheckHr(trace, hr);
            }
        }
    });
}

HRESULT CTimelineContext::RevokeTimeline() {
    CTmsEntryPoint trace("CTimelineContext::RevokeTimeline");
    return TMS_ERROR_FRAME(trace, [&] {
        CComPtr<ITimeline> timeline;
        std::uint32_t token = 0;
        bool wasActive = false;
        {
            CCriticalSectionLock lock(m_cs);
            if (m_timeline == nullptr) {
                trace.SetResult(S_FALSE);
                return;
            }
            m_assigned = false;
            timeline = m_timeline;
            token = Token();
            wasActive = IsActive();
        }
        // An RTS that cannot take the idle state does not keep the context
        // registered at the timeline: it is revoked all the same and the
        // failure returned at the end.
        HRESULT stopped = S_OK;
        if (wasActive) {
            rts::PortContextRecord idle{};
            idle.flags = kFlagPortState;
            idle.portState = TmsIdle;
            stopped = SendImmediateState(idle);
            if (SUCCEEDED(stopped)) {
                stopped = WaitForPortState(token, TmsIdle, kRevokeIdleWaitMs);
            }
        }
        TMS_CHECK_COM(trace, timeline->RevokeContext(token));

        CCriticalSectionLock lock(m_cs);
        m_timeline.Release();
        m_broker.Release();
        m_token.store(0, std::memory_order_release);
        Reset();
        if (wasActive && m_owner.ChanAccess() != nullptr) {
            m_owner.ChanAccess()->ClearPortStatus();
        }
        CloseMediaFiles(trace);
        SendFileStates(false);
        // Whatever the RTS did with the closes, the codes go back to the pool.
        for (auto it = m_files.begin(); it != m_files.end();) {
            const std::string name = it->first;
            const std::uint32_t code = it->second->fileCode;
            ++it;
            if (code != 0) {
                m_files.FreeFileCode(static_cast<std::uint16_t>(code));
            }
            m_files.Remove(name);
        }
        CMmioMsg& message = m_closeMessage;
        CheckHr(trace, rts::BuildCloseContextMessage(message, m_index));
        CheckHr(trace, m_owner.SendRtsMsg(message, kSendTimeoutMs));
        if (FAILED(stopped)) {
            CheckHr(trace, stopped);
        }
    });
}

void CTimelineContext::CloseMediaFiles(CEntryPoint& trace) {
    for (const auto& [name, file] : m_files) {
        if (file->fileState >= 3 || file->handleName.empty()) {
            continue;
        }
        const DWORD start = GetTickCount();
        TmsVfs().CloseMediaFileHandle(file->handleName.c_str());
        const DWORD took = GetTickCount() - start;
        if (took > kSlowCloseMs) {
            trace.Trace("<Slow response: %dms> %s:Ctx%d: CloseMediaFileHandle '%s'",
                        static_cast<int>(took), m_owner.ChannelName().c_str(), m_index,
                        file->handleName.c_str());
        }
        // Closed here: the RTS is told with the next file message.
        if (file->fileState < 2) {
            file->fileState = 2;
        }
        file->refCount = 0;
    }
}

HRESULT CTimelineContext::SendFileStates(bool keepOpen) {
    CTmsEntryPoint trace("CTimelineContext::SendFileStates");
    return TMS_ERROR_FRAME(trace, [&] {
        // The files of the message being built. A file counts as open, and a
        // closed one gives back its record and code, only once the RTS has
        // taken the message: a refused open is sent again, a refused close
        // keeps the code that the RTS still holds.
        std::vector<std::string> opening;
        std::vector<std::string> closing;
        auto send = [this, &opening, &closing](CMmioMsg& message) {
            const HRESULT hr = m_owner.SendRtsMsg(message, kSendTimeoutMs);
            if (SUCCEEDED(hr)) {
                for (const std::string& name : opening) {
                    if (MediaFileInfo* file = m_files.Lookup(name)) {
                        file->fileState = 1;
                    }
                }
                for (const std::string& name : closing) {
                    if (MediaFileInfo* file = m_files.Lookup(name)) {
                        m_files.FreeFileCode(static_cast<std::uint16_t>(file->fileCode));
                        m_files.Remove(name);
                    }
                }
            }
            opening.clear();
            closing.clear();
            return hr;
        };
        rts::CFileStateMessageBuilder builder(m_fileMessage, m_index, m_rec.changeId, send);
        // Only files met earlier can leave the map while this runs (the
        // builder sends, and closed files are forgotten, as a message fills).
        for (const auto& [name, file] : m_files) {
            if (file->fileState != 0 && file->refCount >= 1) {
                // A file marked for closing that a state uses again stays
                // open: only a file no state of the window uses is closed.
                file->fileState = 1;
                continue;
            }
            if (file->fileState != 0) {
                file->fileState = 2;
                if (keepOpen) {
                    continue;
                }
            }
            rts::FileStateRecord record{};
            record.fileCode = static_cast<std::uint16_t>(file->fileCode);
            record.mediaFileType = file->mediaFileType;
            rts::SetNarrow(record.handleName, file->handleName);
            if (file->fileState == 0) {
                CheckHr(trace, builder.Add(file->writeFlag != 0 ? rts::kChunkFileWrite
                                                                : rts::kChunkFileRead,
                                           record));
                opening.push_back(name);
                continue;
            }
            CheckHr(trace, builder.Add(rts::kChunkFileClose, record));
            closing.push_back(name);
        }
        CheckHr(trace, builder.Finish());
    });
}

std::int32_t CTimelineContext::TakeChangeId() {
    // A change the RTS has not reported yet keeps the one before as previous.
    if (m_rec.reportedChangeId == m_rec.changeId) {
        m_rec.previousChangeId = m_rec.changeId;
    }
    m_rec.changeId = m_rec.nextChangeId;
    m_rec.nextChangeId = context_record::NextChangeId(m_rec.nextChangeId);
    return m_rec.changeId;
}

HRESULT CTimelineContext::SendImmediateState(rts::PortContextRecord record) {
    CTmsEntryPoint trace("CTimelineContext::SendImmediateState");
    return TMS_ERROR_FRAME(trace, [&] {
        std::string line;
        {
            // Taken here as well: the offline and full-volume stops call
            // after leaving the context lock.
            CCriticalSectionLock lock(m_cs);
            if (m_timeline == nullptr) {
                trace.SetResult(S_FALSE);
                return;
            }
            record.changeId = TakeChangeId();
            record.contextIndex = m_index;
            record.trigger = rts::kTriggerAsap;
            line = FormatText("    %s:Ctx%d: trig=Asap ", m_owner.ChannelName().c_str(), m_index);
            const std::uint32_t flags = record.flags;
            using namespace context_record;
            if ((flags & kPortState) != 0) {
                const std::int32_t state = record.portState;
                if (state != TmsIdle) {
                    m_rec.portState = state;
                }
                line += PortStateWord(state);
            }
            if ((flags & kStopAsIdle) != 0) {
                if (m_rec.portState == TmsCuePlay) {
                    m_rec.portState = TmsShuttlePlay;
                    m_rec.speed = 0.0f;
                } else if (m_rec.portState == TmsShuttlePlay) {
                    m_rec.speed = 0.0f;
                }
                line += "stopAsIdle ";
            }
            auto movePort = [](PositionPair& pair, std::int32_t port) {
                pair.movie += port - pair.port;
                pair.port = port;
            };
            if ((flags & kPosition) != 0) {
                movePort(m_rec.position, record.position);
                line += FormatText("pos=%d ", m_rec.position.movie);
            }
            if ((flags & kMinPosition) != 0) {
                movePort(m_rec.minPosition, record.minPosition);
                line += FormatText("minPos=%d ", m_rec.minPosition.movie);
            }
            if ((flags & kMaxPosition) != 0) {
                movePort(m_rec.maxPosition, record.maxPosition);
                line += FormatText("maxPos=%d ", m_rec.maxPosition.movie);
            }
            if ((flags & kEndMode) != 0) {
                m_rec.endMode = record.endMode;
                line += std::string("endMode=") + StopModeWord(m_rec.endMode);
            }
            if ((flags & kIdleMode) != 0) {
                m_rec.idleMode = record.idleMode;
                line += std::string("idleMode=") + StopModeWord(m_rec.idleMode);
            }
            if ((flags & kSpeed) != 0) {
                m_rec.speed = record.speed;
                line += FormatText("speed=%0.2f ", static_cast<double>(m_rec.speed));
            }
        }
        trace.Trace("%s", line.c_str());
        CMmioMsg message(rts::kLargeMessageSize);
        CheckHr(trace, rts::BuildPortContextMessage(message, record));
        CheckHr(trace, m_owner.SendRtsMsg(message, kSendTimeoutMs));
    });
}

HRESULT CTimelineContext::ApplyEtoEChange(bool on) {
    CTmsEntryPoint trace("CTimelineContext::ApplyEtoEChange");
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);
        if (Token() == 0) {
            trace.SetResult(S_FALSE);
            return;
        }
        const bool paused = m_rec.portState == TmsCuePlay ||
                            (m_rec.portState == TmsShuttlePlay && m_rec.speed == 0.0f);
        if (!m_owner.EeBoard() || !paused) {
            return;
        }
        rts::PortContextRecord record{};
        if (on) {
            record.flags = context_record::kStopAsIdle | context_record::kSpeed;
            record.speed = 0.0f;
        } else {
            record.flags = context_record::kPosition;
            record.position = m_rec.position.port;
        }
        CheckHr(trace, SendImmediateState(record));
    });
}

HRESULT CTimelineContext::PurgeAllStates() {
    CTmsEntryPoint trace("CTimelineContext::PurgeAllStates");
    return TMS_ERROR_FRAME(trace, [&] {
        CComPtr<ITmsContextBroker> broker;
        std::uint32_t token = 0;
        // The current record with its position pairs 0 and only the purge
        // flag: the fields a change always takes keep their values.
        context_record::ChangeRecord record{};
        {
            CCriticalSectionLock lock(m_cs);
            if (m_timeline == nullptr) {
                trace.SetResult(S_FALSE);
                return;
            }
            if (m_firstChangePending) {
                return;
            }
            broker = m_broker;
            token = Token();
            record.flags = context_record::kPurge;
            record.portState = m_rec.portState;
            record.speed = m_rec.speed;
            record.startLimit = m_rec.startLimit;
            record.endLimit = m_rec.endLimit;
            record.timelineLength = m_rec.timelineLength;
            record.recordOffset = m_rec.recordOffset;
            record.underConstruction = m_rec.underConstruction ? 1 : 0;
            record.readOnly = m_rec.readOnly ? 1 : 0;
            record.remote = m_rec.remote ? 1 : 0;
        }
        // The broker takes this context's lock again.
        TMS_CHECK_COM(trace, broker->ApplyContextChange(token, sizeof record,
                                                        reinterpret_cast<unsigned char*>(&record)));
    });
}

TmsPortState CTimelineContext::ReportedPortState() const {
    // As the last status pass kept it.
    CCriticalSectionLock status(m_statusCs);
    return static_cast<TmsPortState>(static_cast<std::int32_t>(m_status.record.portState));
}

HRESULT CTimelineContext::WaitForPortState(std::uint32_t token, TmsPortState state,
                                           std::uint32_t timeoutMs) {
    CTmsEntryPoint trace("CTimelineContext::WaitForPortState");
    return TMS_ERROR_FRAME(trace, [&] {
        bool recordingAtStart = false;
        {
            CCriticalSectionLock lock(m_cs);
            recordingAtStart = m_recordPhase == 1;
            if (Token() != token) {
                trace.SetResult(S_FALSE);
                return;
            }
        }
        const DWORD start = GetTickCount();
        TmsPortState last = TmsIdle;
        for (;;) {
            if (GetTickCount() - start >= timeoutMs) {
                break;
            }
            bool reached = false;
            {
                CCriticalSectionLock lock(m_cs);
                last = ReportedPortState();
                reached =
                    last == state && (state != TmsIdle || !recordingAtStart || m_recordPhase != 1);
            }
            if (reached) {
                trace.SetResult(S_OK);
                return;
            }
            std::unique_lock<std::mutex> wait(m_waitMutex);
            if (m_waitWake.wait_for(wait, kPollInterval, [this] { return m_waitsCancelled; })) {
                trace.SetResult(S_FALSE);
                return;
            }
        }
        trace.LogMsg("Ch%d,Cxt%d:WaitForPortState timed out waiting for state to go from %d to %d",
                     context_token::Channel(token), context_token::Index(token),
                     static_cast<int>(last), static_cast<int>(state));
        trace.SetResult(S_FALSE);
    });
}

void CTimelineContext::CancelWaits() {
    std::lock_guard<std::mutex> wait(m_waitMutex);
    m_waitsCancelled = true;
    m_waitWake.notify_all();
}

HRESULT CTimelineContext::StringToDefaultStatus(const std::string& name, VARIANT* value) {
    CTmsEntryPoint trace("CTimelineContext::StringToDefaultStatus");
    const std::int32_t code = context_status::CodeOf(name);
    return code < 0 ? S_FALSE : context_status::DefaultValue(code, value);
}

CComPtr<IMovie> CTimelineContext::Movie() {
    CComPtr<ITimeline> timeline;
    {
        CCriticalSectionLock lock(m_cs);
        timeline = m_timeline;
    }
    CComPtr<IMovie> movie;
    if (timeline != nullptr) {
        timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie));
    }
    return movie;
}
