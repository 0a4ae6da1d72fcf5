#include "tmschannel/channel/Channel.h"

#include "platform/com/CoCreateInstance.h"
#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "server/errorlog/ErrorLog.h"
#include "tmschannel/channel/ChanAccessTable.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ComBoundary.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/rts/RtsMessages.h"

#include <unistd.h>

#include <algorithm>

namespace {

constexpr HRESULT kNoRtsShmem = HR(0x80043015);
constexpr std::int32_t kContexts = 4;

}  // namespace

CChannel::CChannel() : m_creationTick(GetTickCount()) {
    m_owner.channelIndex = -1;
}

CChannel::~CChannel() {
    CTmsEntryPoint trace("CChannel::~CChannel");
    Close();
}

HRESULT CChannel::InterfaceSupportsErrorInfo(const IID& iid) {
    return iid == IID_ITmsChannel ? S_OK : S_FALSE;
}

rts::OwnerRecord CChannel::OwnerRecord() const {
    CCriticalSectionLock lock(m_cs);
    return m_owner;
}

ChannelConfig CChannel::Config() const {
    CCriticalSectionLock lock(m_cs);
    return m_config;
}

bool CChannel::IsOpened() const {
    CCriticalSectionLock lock(m_cs);
    return m_opened;
}

std::vector<std::shared_ptr<CTmsResource>> CChannel::Resources() const {
    CCriticalSectionLock lock(m_sharedCs);
    return m_resources;
}

void CChannel::CopyResources(std::vector<std::shared_ptr<CTmsResource>>* list) const {
    CCriticalSectionLock lock(m_sharedCs);
    list->assign(m_resources.begin(), m_resources.end());
}

CComPtr<IConfigMgr> CChannel::ConfigMgr() const {
    CCriticalSectionLock lock(m_sharedCs);
    return m_configMgr;
}

void CChannel::Send(CEntryPoint& trace, CMmioMsg& message) {
    CheckHr(trace, m_rtsMsg.SendMsg(message, CRtsMsg::kSendTimeoutMs));
}

CComPtr<IXMLDOMDocument2> CChannel::NewDocument(CEntryPoint& trace) {
    CComPtr<IXMLDOMDocument2> document;
    CheckHr(trace, CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IXMLDOMDocument2, reinterpret_cast<void**>(&document)));
    return document;
}

std::string CChannel::ConfigTextWithoutBoards(CEntryPoint& trace, IXMLDOMDocument2* document) {
    CComPtr<IXMLDOMDocument2> copy = NewDocument(trace);
    CVariant source(static_cast<IDispatch*>(document));
    VARIANT_BOOL ok = VARIANT_FALSE;
    TMS_CHECK_COM(trace, copy->load(source, &ok));
    if (ok != VARIANT_TRUE) {
        TMS_CHECK_COM(trace, E_FAIL);
    }
    CConfigReader read(trace);
    CComPtr<IXMLDOMNode> config = read.Node(copy, "./Config");
    if (config != nullptr) {
        for (auto& board : read.All(read.Nodes(copy, "./Config/Board"))) {
            CComPtr<IXMLDOMNode> removed;
            TMS_CHECK_COM(trace, config->removeChild(board, &removed));
        }
    }
    CBstr xml;
    TMS_CHECK_COM(trace, copy->get_xml(&xml));
    return xml.ToUtf8();
}

HRESULT CChannel::Open(VARIANT varChan, BSTR bstrSuite, BSTR bstrUser, BSTR bstrApp,
                       BSTR bstrAppServerUuid) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CChannel::Open");
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        const CBstr app = CBstr::FromBstr(bstrApp);
        const CBstr uuid = CBstr::FromBstr(bstrAppServerUuid);
        m_application = app.ToUtf8();
        rts::SetNarrow(m_owner.application, app.ToNarrow());
        rts::SetNarrow(m_owner.appServerId, uuid.ToNarrow());
        {
            CCriticalSectionLock shared(m_sharedCs);
            m_appServerUuid = uuid.ToUtf8();
            m_contextApplication = m_application;
        }
        WaitWhileClosing(lock);
        if (m_opened) {
            trace.SetResult(S_OK);
            return;
        }
        try {
            CComPtr<IMovieBuilder> builder;
            TMS_CHECK_COM(trace,
                          CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IMovieBuilder, reinterpret_cast<void**>(&builder)));
            CheckHr(trace, builder->SetSuite(bstrSuite));
            m_movieBuilder = builder;

            CComPtr<IConfigMgr> manager;
            TMS_CHECK_COM(trace,
                          CoCreateInstance(CLSID_ConfigMgr, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IConfigMgr, reinterpret_cast<void**>(&manager)));
            {
                CCriticalSectionLock shared(m_sharedCs);
                m_configMgr = manager;
            }

            CComPtr<IXMLDOMDocument2> document = NewDocument(trace);
            CVariant target(static_cast<IDispatch*>(document.Get()));
            if (varChan.vt == VT_BSTR) {
                TMS_CHECK_COM(
                    trace, manager->LoadChannelConfigByName(
                               varChan.bstrVal, bstrApp, bstrAppServerUuid, &target.GetVARIANT()));
            } else {
                const std::int32_t number = CVariant(varChan).ToInt32();
                TMS_CHECK_COM(trace, manager->LoadChannelConfigByIndex(
                                         number, bstrApp, bstrAppServerUuid, &target.GetVARIANT()));
            }
            CheckHr(trace, InitFromConfig("", document));
            ErrorLogSetChannelUse(m_config.channelIndex, 1);
            if (!m_rtsShmem.Open()) {
                TMS_RAISE(trace, kNoRtsShmem, "Could not open RTS shared memory");
            }
            CheckHr(trace, UpdateStorageStatus());
            m_lastStorageUpdate = GetTickCount();
            for (std::int32_t index = 0; index < kContexts; ++index) {
                m_contexts.push_back(std::make_unique<CTimelineContext>(
                    index, document, static_cast<IContextOwner&>(*this)));
            }
            CheckHr(trace, m_rtsMsg.OpenRtsConnection(m_config.channelIndex, m_channelId));
            // What a query last learnt of the connection belongs to the old one.
            m_rtsPolled.store(0, std::memory_order_relaxed);

            const std::string text = ConfigTextWithoutBoards(trace, document);
            CMmioMsg open(rts::kLargeMessageSize);
            CheckHr(trace, rts::BuildOpenMessage(open, m_owner, text));
            Send(trace, open);

            CheckHr(trace, SetDefaultIdleMode(true, true));
            CheckHr(trace, SetDefaultEndMode(m_config.defaultEndMode));
            m_publisherPid = static_cast<std::uint32_t>(::getpid());
            CheckHr(trace, PublishStatus(m_chanAccess.get()));
            CheckHr(trace, CreateStatusThread());
            CheckHr(trace, m_chanAccess->SetChanOfflineEvent(false));
            m_opened = true;
            CheckHr(trace, HandleGpiInputInit(document));
            // Last: clients reach the contexts and timelines only once all
            // of the channel is there.
            m_gate.Open();
        } catch (...) {
            // Nothing of a failed Open stays behind: a second Open starts clean.
            if (m_statusThread) {
                StopStatusThreadOutside(lock, trace);
            }
            ReleaseAll(trace);
            throw;
        }
    });
}

HRESULT CChannel::ReleaseAll(CEntryPoint& trace) {
    // Contexts first: revoking sends on the RTS connection and uses the
    // resources' view of the channel.
    m_contexts.clear();
    {
        CCriticalSectionLock shared(m_sharedCs);
        m_resources.clear();
    }
    m_rtsMsg.CloseRtsConnection();
    m_rtsPolled.store(0, std::memory_order_relaxed);
    m_rtsShmem.Close();
    if (m_chanAccess) {
        chan_access_table::Clear(m_config.channelIndex, m_chanAccess.get());
        m_chanAccess->ClearChannelStatus();
        m_chanAccess.reset();
    }
    CComPtr<IConfigMgr> manager;
    {
        CCriticalSectionLock shared(m_sharedCs);
        manager = std::move(m_configMgr);
        m_contextChannelNumber = -1;
    }
    m_timelines.clear();
    m_config.continuousRecordSuspended = false;  // lasts for one open
    HRESULT released = S_OK;
    if (manager != nullptr && m_config.channelIndex >= 0) {
        released = manager->ReleaseChannelConfig(m_config.channelIndex);
    }
    manager.Release();
    m_movieBuilder.Release();
    // Only the holder noted its use; a refused Open did not.
    if (m_config.channelIndex >= 0 && m_claim.Held()) {
        ErrorLogSetChannelUse(m_config.channelIndex, 0);
    }
    m_claim.Release();
    m_config.channelIndex = -1;
    m_owner.channelIndex = -1;
    m_opened = false;
    return released;
}

// Close's mark on the channel: m_closing set and the gate shut for the
// whole run. Whatever way Close leaves (an exception too), the channel lock
// is taken back if a step had left it, the gate closed and the mark cleared:
// a mark left behind would hold every later Open in WaitWhileClosing and
// refuse every context call for good.
class CChannel::CClosingScope {
public:
    CClosingScope(CChannel& channel, CCriticalSectionLock& lock)
        : m_channel(channel), m_lock(lock) {
        m_channel.m_closing = true;
        m_channel.m_gate.Shut(CCallGate::State::kClosing);
    }
    ~CClosingScope() NO_THREAD_SAFETY_ANALYSIS {
        m_lock.Relock();
        m_channel.m_gate.Shut(CCallGate::State::kClosed);
        m_channel.m_closing = false;
    }
    CClosingScope(const CClosingScope&) = delete;
    CClosingScope& operator=(const CClosingScope&) = delete;

private:
    CChannel& m_channel;
    CCriticalSectionLock& m_lock;  // Close's hold of m_cs
};

HRESULT CChannel::Close() {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CChannel::Close");
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (!m_opened || m_closing) {
            trace.SetResult(S_OK);
            return;
        }
        // New calls on contexts and timelines are refused from here; those
        // inside finish first (a wait for a port state ends at once: no
        // status will come for it), so that nothing they use goes under them
        // and no timeline or context is added behind Close's back.
        const CClosingScope closing(*this, lock);
        for (const auto& context : m_contexts) {
            context->CancelWaits();
        }
        DrainCallsOutside(lock);
        // A timeline or a closing message the RTS cannot take must not keep
        // the channel open: everything is released and the first failure
        // returned at the end. The contexts are stopped without waiting for
        // the RTS to report them idle: the channel's "clos" follows at once.
        HRESULT removed = S_OK;
        while (!m_timelines.empty()) {
            const std::uint16_t code = m_timelines.begin()->first;
            const HRESULT hr = RemoveTimeline(code);
            if (FAILED(hr)) {
                // Dropped all the same, so that Close always ends.
                m_timelines.erase(code);
                if (SUCCEEDED(removed)) {
                    removed = hr;
                }
            }
        }
        CMmioMsg close(rts::kSmallMessageSize);
        HRESULT sent = rts::BuildCloseMessage(close, m_owner);
        if (SUCCEEDED(sent)) {
            sent = m_rtsMsg.SendMsg(close, CRtsMsg::kSendTimeoutMs);
        }
        // Nothing reaches the RTS after its "clos", and the channel counts
        // as closed while the monitor, which takes the channel lock on its
        // way, is waited for without it.
        m_rtsMsg.Seal();
        m_opened = false;
        StopStatusThreadOutside(lock, trace);
        const HRESULT released = ReleaseAll(trace);
        CheckHr(trace, removed);
        CheckHr(trace, sent);
        TMS_CHECK_COM(trace, released);
        trace.SetResult(S_OK);
    });
}

void CChannel::DrainCallsOutside(CCriticalSectionLock& lock) {
    lock.Unlock();
    m_gate.Drain();
    lock.Relock();
}

void CChannel::RaiseRefused(CEntryPoint& trace, const char* operation,
                            const CCallGate::Pass& pass) {
    TMS_RAISE(trace, E_UNEXPECTED, "%s: %s", operation, pass.Refusal());
}

HRESULT CChannel::NotYetAvailable(const char* operation) {
    CTmsEntryPoint trace("%s", operation);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        TMS_RAISE(trace, E_NOTIMPL, "%s is not available in this version of the channel",
                  operation);
    });
}

HRESULT CChannel::GetStatusRange(unsigned int, BSTR, unsigned int*, unsigned int*, VARIANT*) {
    return E_NOTIMPL;
}

std::int32_t CChannel::ChannelNumber() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextChannelNumber;
}

std::string CChannel::ChannelName() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextChannelName;
}

void CChannel::CopyChannelName(std::array<char, CEntryPoint::kEntryTextSize>& out) const {
    CCriticalSectionLock shared(m_sharedCs);
    const std::size_t length = std::min(m_contextChannelName.size(), out.size() - 1);
    m_contextChannelName.copy(out.data(), length);
    out[length] = 0;
}

bool CChannel::RtsConnectedRecently() const {
    // One status period: the monitor itself polls the connection every cycle.
    constexpr DWORD kRepollMs = kStatusPeriodMs;
    const DWORD now = GetTickCount();
    const std::uint64_t polled = m_rtsPolled.load(std::memory_order_relaxed);
    if ((polled & 2u) != 0 && TickDiff(now, static_cast<DWORD>(polled >> 32)) < kRepollMs) {
        return (polled & 1u) != 0;
    }
    const bool connected = m_rtsMsg.IsConnected();
    m_rtsPolled.store(std::uint64_t{now} << 32 | 2u | (connected ? 1u : 0u),
                      std::memory_order_relaxed);
    return connected;
}

bool CChannel::ChannelOffline() const {
    if (!RtsConnectedRecently()) {
        return true;
    }
    bool channelOffline = false;
    bool systemOffline = false;
    if (m_chanAccess) {
        m_chanAccess->IsChanOffline(channelOffline);
        m_chanAccess->IsSysOffline(systemOffline);
    }
    return channelOffline || systemOffline;
}

CChanAccess* CChannel::ChanAccess() const {
    // Created before the contexts and deleted after them.
    return m_chanAccess.get();
}

HRESULT CChannel::SendRtsMsg(CMmioMsg& message, DWORD timeoutMs) {
    return m_rtsMsg.SendMsg(message, timeoutMs);
}

CComPtr<IMovieBuilder> CChannel::MovieBuilder() const {
    CCriticalSectionLock lock(m_cs);
    return m_movieBuilder;
}

std::int32_t CChannel::VideoFormat() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextVideoFormat;
}

bool CChannel::LoopPlayback() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextLoop;
}

bool CChannel::EeBoard() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextEeBoard;
}

std::string CChannel::ChannelType() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextChannelType;
}

void CChannel::ShareContextSettings() {
    const std::int32_t segment = ComputeContinuousRecordSegment();
    CCriticalSectionLock shared(m_sharedCs);
    m_contextChannelName = m_channelId;
    m_contextChannelNumber = m_config.channelIndex;
    m_contextVideoFormat = m_config.videoFormat;
    m_contextLoop = m_config.loop;
    m_contextEeBoard = m_config.eeAllowed;
    m_contextChannelType = m_channelType;
    m_contextModel = m_config.model;
    m_contextGanged = m_config.gangIndex >= 0;
    // The contexts cut a continuous record into segments of this length.
    m_contextPlayList = PlayListFromConfig(segment);
    m_contextContinuousRecordFields = segment;
    m_contextShuttleRange = {m_config.shuttleSpeedMin, m_config.shuttleSpeedMax};
}

bool CChannel::Ganged() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextGanged;
}

std::int32_t CChannel::ContinuousRecordFields() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextContinuousRecordFields;
}

IContextOwner::PlayListSettings CChannel::PlayListFromConfig(std::int32_t segment) const {
    PlayListSettings settings;
    settings.autoStop = m_config.autoStop;
    settings.listPauses = m_config.listPauses;
    settings.listRepeats = m_config.listRepeats;
    settings.continuousRecordSuspended = m_config.continuousRecordSuspended;
    settings.continuousRecord = m_config.continuousRecord;
    settings.continuousRecordLength = m_config.continuousRecordFields;
    settings.continuousRecordSegment = segment;
    return settings;
}

IContextOwner::PlayListSettings CChannel::PlayList() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextPlayList;
}

IContextOwner::SpeedRange CChannel::ShuttleSpeedRange() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextShuttleRange;
}
