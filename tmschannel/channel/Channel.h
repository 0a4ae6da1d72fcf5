// CChannel, the object behind the TmsChannel class: one object controls one
// channel of the server. Open reads the channel's configuration, creates its
// resources, connects to the RTS and sends the "open" message and the
// default modes; Close undoes all of it in reverse. The last release closes
// the channel too.
//
// Locks, in the order they nest (members say which guards them; the error
// frame's lambdas hide the locks from the static analysis, so there are no
// annotations here):
//   m_cs (the channel lock): held by Open, Close, RefreshConfig, the E-to-E
//     and mode operations for their whole run;
//   a context's lock (CTimelineContext): taken with m_cs held only by
//     AllocateContext, to stamp a token and register the timeline, and by
//     Close's revocations;
//   m_sharedCs: the resource list and the configuration manager pointer,
//     which the resource calls read without the channel lock; held only to
//     copy them out, never across a call;
//   a resource's own locks (CTmsResource);
//   the RTS connection's lock (CRtsMsg), inside any of the above;
//   the status-file mutex (shared with other processes), at most 5000 ms.
// The call gate (m_gate) is apart: the client calls on contexts and
// timelines pass it before taking any of these, and Close drains it with
// none of them held.
#pragma once

#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ISupportErrorInfo.h"
#include "platform/com/ModuleLock.h"
#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Handle.h"
#include "platform/kernel/Thread.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/appserverutil/ChannelClaim.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "server/configmgr/IConfigMgr.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tmschannel/channel/CallGate.h"
#include "tmschannel/channel/ChannelConfig.h"
#include "tmschannel/channel/MonitorStop.h"
#include "tmschannel/channel/StatusSchedule.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/context/ContextOwner.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/EntryPoint.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/rts/RtsMessageFormat.h"
#include "tmschannel/rts/RtsMsg.h"
#include "tmschannel/tmschannel.h"

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CChannel : public CComObjectBase<ITmsChannel, ITmsContextBroker, ISupportErrorInfo>,
                 private IContextOwner {
public:
    // The status monitor's period: one cycle every 20 ms.
    static constexpr DWORD kStatusPeriodMs = 20;
    CChannel();
    ~CChannel() override;

    // ITmsChannel
    HRESULT AllocateContext(unsigned short nTimelineCode, unsigned int* pnContextToken) override;
    HRESULT Close() override;
    HRESULT CloseTimeline(unsigned short nTimelineCode) override;
    HRESULT CreateTimeline(BSTR bstrDataset, BSTR bstrGroup, BSTR bstrMovie, long bPopulateTracks,
                           int iLength, unsigned short* pnTimelineCode, GUID* riid,
                           void** ppvTimeline) override;
    HRESULT ExtendTimeline(IUnknown* pTimelineUnk, int iStartPos, int iLength) override;
    HRESULT FreeContext(unsigned int nContextToken) override;
    HRESULT GetChannelProperty(BSTR bstrPropertyQuery, VARIANT* pvarProperty) override;
    HRESULT GetEtoE(BOOL* pEtoE) override;
    HRESULT GetMovieBuilder(GUID* riid, void** ppvMovieBuilder) override;
    HRESULT GetResourceProperty(BSTR bstrResType, int iResNum, BSTR bstrPropertyQuery,
                                VARIANT* pvarProperty) override;
    HRESULT GetResourceStatus(BSTR bstrResType, int iResNum, BSTR bstrStatusQuery,
                              VARIANT* pvarStatus) override;
    HRESULT GetResourceStatusRange(BSTR bstrResType, int iResNum, BSTR bstrStatus,
                                   unsigned int* pStartTick, unsigned int* pEndTick,
                                   VARIANT* pvarStatus) override;
    HRESULT GetStatus(unsigned int nContextToken, BSTR bstrStatusQuery,
                      VARIANT* pvarStatus) override;
    HRESULT GetStatusRange(unsigned int nContextToken, BSTR bstrStatus, unsigned int* pStartTick,
                           unsigned int* pEndTick, VARIANT* pvarStatus) override;
    HRESULT GetStorage(BSTR bstrVolume, long* pTotalStorage, long* pRemainingStorage,
                       long* pRemainingFields) override;
    HRESULT Open(VARIANT varChan, BSTR bstrSuite, BSTR bstrUser, BSTR bstrApp,
                 BSTR bstrAppServerUuid) override;
    HRESULT OpenTimeline(BSTR bstrDataset, BSTR bstrGroup, BSTR bstrMovie,
                         unsigned short* pnTimelineCode, GUID* riid, void** ppvTimeline) override;
    HRESULT RefreshConfig(BSTR bstrChangeHint) override;
    HRESULT SetChannelProperty(BSTR bstrProperty, VARIANT varProperty) override;
    HRESULT SetEtoE(BOOL bEtoE) override;
    HRESULT SetResourceProperty(BSTR bstrResType, int iResNum, BSTR bstrProperty,
                                VARIANT varProperty) override;
    HRESULT WaitForPortState(unsigned int nContextToken, TmsPortState portState,
                             int iTimeout) override;
    HRESULT SetResourcePropertyEx(BSTR bstrResType, int iResNum, BSTR bstrProperty,
                                  VARIANT varProperty, BOOL bPersist) override;

    // ITmsContextBroker
    HRESULT ApplyContextChange(unsigned int nContextToken, int iSize,
                               unsigned char* pContextChange) override;
    HRESULT ApplyContextUpdate(unsigned int nContextToken, int iSize,
                               unsigned char* pContextUpdate) override;
    HRESULT ApplyScheduledChange(unsigned int nContextToken, BSTR bstrName,
                                 TmsPortContextCondition condition, unsigned int nTriggerValue,
                                 long bCancel, int iSize, unsigned char* pContextChange) override;
    HRESULT GetChannelCapabilities(unsigned int* capabilities1,
                                   unsigned int* capabilities2) override;
    HRESULT IsPlaying(unsigned int nContextToken, long* pbPlaying) override;

    // ISupportErrorInfo
    HRESULT InterfaceSupportsErrorInfo(const IID& iid) override;

    // Channel operations that are not on the interfaces.
    HRESULT InitFromConfig(const std::string& changeHint, IXMLDOMDocument2* document);
    HRESULT SetDefaultIdleMode(bool useEtoE, bool force) override;
    HRESULT SetDefaultEndMode(std::int32_t mode);
    HRESULT HandleGpiInputInit(IXMLDOMDocument2* document);
    HRESULT HandleGpiInputMsgSend(std::int32_t controlIndex, bool cancel,
                                  rts::PortContextRecord* record);
    // The resource of that type name (ignoring case) and number.
    HRESULT FindTmsResource(const std::string& type, std::int32_t number,
                            std::shared_ptr<CTmsResource>* resource);

    // What a test or the status pass may look at.
    rts::OwnerRecord OwnerRecord() const;
    ChannelConfig Config() const;
    bool IsOpened() const;
    bool IsRtsConnected() const { return m_rtsMsg.IsConnected(); }
    // The RTS connection is lost, or the server holds the channel or the
    // whole system offline. The caller holds a pass of m_gate (the channel
    // access object stays while it does).
    bool ChannelOffline() const;
    // IsRtsConnected as polled at most once per status period.
    bool RtsConnectedRecently() const;

    // The context a token names; S_FALSE (context untouched) when none does.
    // Takes no lock: the caller holds a pass of m_gate, and the table does
    // not change while the gate is open or a call is inside.
    HRESULT FindTimelineContext(std::uint32_t token, CTimelineContext** context);
    // One channel property by id (its name's entry); S_FALSE with an empty
    // value for a name without a readable value.
    HRESULT ToVariant(std::int32_t id, VARIANT* value);
    // Sets one property by lower-case name; tick stamps the announcement.
    HRESULT FromVariant(const std::string& name, const CVariant& value, DWORD tick);
    // The length of one continuous-record segment in fields (0 while
    // continuous record is off), as the record code cuts a recording.
    std::int32_t ContinuousRecordSegmentFields() const;

    // The status dispatcher of GetStatus.
    HRESULT StringToStatus(std::uint32_t token, std::string_view query, VARIANT* status);
    HRESULT RemoveTimeline(std::uint16_t code);
    // Pads tracks first to end - 1 of the type with an empty segment up to
    // position where they end short of it.
    HRESULT AddTrackPadsAsNeeded(IMovie* movie, std::int32_t position, std::int32_t first,
                                 std::int32_t end, std::int32_t trackType);

    // The status monitor (ChannelStatus.cpp): one thread per open channel
    // that takes in the RTS's status every 20 ms and publishes the
    // channel's.
    HRESULT CreateStatusThread();
    DWORD StatusMonitor();
    HRESULT PutStatus(std::uint16_t cycle);
    HRESULT PublishStatus(CChanAccess* access);
    HRESULT UpdateStorageStatus();
    // True when name is a channel status name; value is then filled.
    bool StringToChanStatus(const std::string& name, VARIANT* value);
    // The monitor's clock, for measurement.
    const CStatusSchedule& StatusSchedule() const { return m_schedule; }
    // Ends the monitor of an open channel before Close, for measuring what
    // a query costs while nothing is published; Close closes as usual.
    void EndStatusMonitor();

private:
    static constexpr int kStorageEntries = statusmem::kStorageEntries;
    using StorageEntry = std::array<std::uint8_t, statusmem::kStorageEntrySize>;
    // What the last status pass kept (m_statusLock).
    struct ChannelStatus {
        std::uint16_t cycle = 0;
        std::uint32_t rtsTick = 0;
        std::uint32_t gpiMask = 0;
        std::array<StorageEntry, kStorageEntries> storage{};
        bool busySinceIdle = false;
        // The configuration change stamps as the last publication read them.
        std::array<std::uint32_t, ChannelConfig::kChangeStamps> stamps{};
        bool stampsRead = false;
    };
    // Ends the monitor and waits until it has (Close, a failed Open).
    void StopStatusThread(CEntryPoint& trace);
    // The same from under the channel lock, which the monitor may be waiting
    // for: it is left for the wait and taken again.
    void StopStatusThreadOutside(CCriticalSectionLock& lock,
                                 CEntryPoint& trace) NO_THREAD_SAFETY_ANALYSIS;
    // Leaves the channel lock while the calls inside the gate finish (they
    // may need it), and takes it again.
    void DrainCallsOutside(CCriticalSectionLock& lock) NO_THREAD_SAFETY_ANALYSIS;
    // Raises the gate's refusal for operation (E_UNEXPECTED).
    [[noreturn]] void RaiseRefused(CEntryPoint& trace, const char* operation,
                                   const CCallGate::Pass& pass);
    // Marks a Close in progress and clears the mark on every way out.
    class CClosingScope;
    // Open on another thread waits until a Close in progress has finished.
    void WaitWhileClosing(CCriticalSectionLock& lock) NO_THREAD_SAFETY_ANALYSIS;

    // Releases what a failed Open created, in the order Close does.
    // The result of releasing the channel's configuration.
    HRESULT ReleaseAll(CEntryPoint& trace);
    // Sends a finished message with the standard time-out (HRESULT check).
    void Send(CEntryPoint& trace, CMmioMsg& message);
    CComPtr<IXMLDOMDocument2> NewDocument(CEntryPoint& trace);
    // The document's XML text with every "./Config/Board" removed (on a copy).
    std::string ConfigTextWithoutBoards(CEntryPoint& trace, IXMLDOMDocument2* document);
    void ReadChannelSettings(CEntryPoint& trace, IXMLDOMDocument2* document);
    void CreateOrRefreshResources(CEntryPoint& trace, IXMLDOMDocument2* document);
    std::vector<std::shared_ptr<CTmsResource>> Resources() const override;
    // The timecode resource that answers the channel's timecode status;
    // null when the channel has none.
    std::shared_ptr<CTmsResource> FirstTimecodeResource() const;
    // A "rfsh" with the configuration as the manager now holds it: a
    // resource property the RTS runs with changed.
    void SendConfigToRts(CEntryPoint& trace, IConfigMgr* manager);
    // The same into list, reusing its room: the status pass takes the list
    // every cycle without allocating.
    void CopyResources(std::vector<std::shared_ptr<CTmsResource>>* list) const;
    CComPtr<IConfigMgr> ConfigMgr() const;
    HRESULT NotYetAvailable(const char* operation);
    // Appends a record segment for every record resource with a track (a new
    // movie, an extension); the resource's media data goes with it.
    void AppendRecordSegments(CEntryPoint& trace, IMovie* movie, std::int32_t length);
    // Cuts or pads every track of the movie to end at position, where an
    // extension past mark in appends the record.
    void CutOrPadRecordTracks(CEntryPoint& trace, IMovie* movie, std::int32_t position);
    CComPtr<IMovieBuilder> MovieBuilder() const;
    // Starts CreateTimeline and OpenTimeline: clears the [out] arguments
    // (E_POINTER without them) and gives the builder of the open channel.
    CComPtr<IMovieBuilder> BeginTimelineCall(CEntryPoint& trace, const char* operation,
                                             unsigned short* code, GUID* riid, void** timeline);
    // E_INVALIDARG for a null record or one shorter than minimum bytes.
    void RequireRecord(CEntryPoint& trace, const char* kind, std::uint32_t token,
                       const unsigned char* record, int size, int minimum);
    // Channel properties (ChannelProperties.cpp); callers hold m_cs.
    bool PropertyBool(CEntryPoint& trace, const std::string& name, const CVariant& value);
    std::int32_t PropertyLong(CEntryPoint& trace, const std::string& name, const CVariant& value);
    std::string PropertyText(CEntryPoint& trace, const std::string& name, const CVariant& value);
    static std::string VariantText(const CVariant& value);
    // One attribute of the channel's configuration, written at once.
    void PersistSetting(CEntryPoint& trace, const std::string& xpath, const char* attribute,
                        const CVariant& value);
    // Under the status-file mutex: write, then the named change stamps (by
    // ChannelConfig index) and the master take tick. Without the mutex the
    // change stays unannounced (logged).
    void AnnounceSetting(CEntryPoint& trace, DWORD tick, std::initializer_list<int> stamps,
                         const std::function<void(const CStatusFileLock&)>& write);
    // With the mutex held by status: the gang and master stamps of every
    // other channel's block whose gang index is this channel's, so that a
    // gang member open in another process re-reads the gang's settings.
    void StampGangMembers(const CStatusFileLock& status, DWORD tick);
    // A setting of the first resource of type; without such a resource, the
    // attribute of its configured component.
    void SetComponentSetting(CEntryPoint& trace, const char* type, const char* attribute,
                             const CVariant& value);
    void SetTimerMode(CEntryPoint& trace, std::int32_t mode, DWORD tick);
    void SetGangIndex(CEntryPoint& trace, std::int32_t gangIndex, DWORD tick);
    // From the configuration and the resources; caller holds m_cs.
    std::int32_t ComputeContinuousRecordSegment() const;

    // Copies what the contexts read into m_sharedCs's members.
    void ShareContextSettings();
    // The timeline under code; raises "Could not find timeline code".
    CComPtr<ITimeline> FindTimeline(CEntryPoint& trace, std::uint16_t code);

    // ChannelName into a fixed buffer (cut to fit): the status pass names
    // the channel without allocating.
    void CopyChannelName(std::array<char, CEntryPoint::kEntryTextSize>& out) const;

    // IContextOwner
    std::int32_t ChannelNumber() const override;
    std::string ChannelName() const override;
    const CRtsShmem& RtsShmem() const override { return m_rtsShmem; }
    CChanAccess* ChanAccess() const override;
    HRESULT SendRtsMsg(CMmioMsg& message, DWORD timeoutMs) override;
    std::int32_t VideoFormat() const override;
    bool LoopPlayback() const override;
    bool EeBoard() const override;
    std::string ChannelType() const override;
    bool Ganged() const override;
    std::int32_t ContinuousRecordFields() const override;
    SpeedRange ShuttleSpeedRange() const override;
    PlayListSettings PlayList() const override;
    // The play-list and continuous-record settings as configuration gives
    // them; caller holds m_sharedCs.
    PlayListSettings PlayListFromConfig(std::int32_t segment) const;

    CModuleLock m_moduleLock;
    // Guarded by m_cs unless marked otherwise.
    bool m_opened = false;
    CComPtr<IConfigMgr> m_configMgr;  // m_sharedCs
    CComPtr<IMovieBuilder> m_movieBuilder;
    rts::OwnerRecord m_owner{};  // channel index, id, application, UUID
    std::string m_channelId;
    std::string m_channelType = "Unknown";
    ChannelConfig m_config;
    // Set only by the channel properties (a fresh channel answers true).
    bool m_bidirectional = true;
    std::atomic<bool> m_eeState{false};  // written under m_cs, read by the idle mode
    bool m_idleModeEe = false;           // m_idleModeCs
    std::string m_application;           // widened into the status block
    mutable CCriticalSection m_cs;       // the channel lock
    // Held from the first touch of the channel's status memory in Open to
    // the end of ReleaseAll: one controller of the channel at a time.
    CChannelClaim m_claim;
    std::unique_ptr<CChanAccess> m_chanAccess;
    CRtsShmem m_rtsShmem;  // opened and closed under m_cs; reads need no lock
    CRtsMsg m_rtsMsg;      // locks itself
    std::vector<std::shared_ptr<CTmsResource>> m_resources;  // m_sharedCs; video first
    // Created by Open after RTS shared memory, destroyed by Close; in index
    // order, the order of every search. Changed only while m_gate is closed
    // and drained (and the monitor is not running), so readers need no lock.
    std::vector<std::unique_ptr<CTimelineContext>> m_contexts;
    // Admits the client calls on contexts and timelines: opened last by
    // Open, shut and drained first by Close.
    CCallGate m_gate;
    // Timeline code -> the timeline's interface, one reference each.
    std::map<std::uint16_t, CComPtr<ITimeline>> m_timelines;
    std::string m_contextChannelName;          // m_sharedCs; for the contexts
    std::int32_t m_contextChannelNumber = -1;  // m_sharedCs
    // The settings contexts read without the channel lock (m_sharedCs).
    std::int32_t m_contextVideoFormat = 255;
    bool m_contextLoop = false;
    bool m_contextEeBoard = true;
    std::string m_contextChannelType;
    bool m_contextGanged = false;
    std::int32_t m_contextContinuousRecordFields = 0;  // the segment duration
    PlayListSettings m_contextPlayList;
    SpeedRange m_contextShuttleRange;
    // The default idle mode: contexts set it under their own lock, so it
    // takes no channel lock (inside context locks and m_cs, around the RTS).
    CCriticalSection m_idleModeCs;
    mutable CCriticalSection m_sharedCs;  // inside m_cs, never around it
    const DWORD m_creationTick;
    // The status monitor. The thread and its stop signal are made by Open and
    // ended by Close before anything the monitor uses goes.
    CMonitorStop m_monitorStop;
    bool m_closing = false;  // m_cs: Close is in progress (it leaves m_cs to wait)
    // This process's id, written with every publication; taken by Open
    // before the first publication and the monitor's start, constant while
    // the channel is open (no system call in the 20 ms pass).
    std::uint32_t m_publisherPid = 0;
    std::unique_ptr<CThread> m_statusThread;
    CStatusSchedule m_schedule{std::chrono::milliseconds(kStatusPeriodMs)};
    mutable CCriticalSection m_statusLock;  // inside the status-file mutex
    ChannelStatus m_status;                 // m_statusLock
    std::atomic<std::uint32_t> m_lastReportedGpi{0xFFFFFFFFu};
    // The RTS connection as a status query last polled it: bit 0 connected,
    // bit 1 polled at all, bits 32-63 the tick it was polled at. Polling the
    // socket is a system call; a query trusts an answer one status period
    // old. Any thread; a lost race polls twice.
    mutable std::atomic<std::uint64_t> m_rtsPolled{0};
    DWORD m_lastStorageUpdate = 0;  // monitor thread (Open before it starts)
    // The status pass's copies of the resource list, emptied after each
    // pass (no resource outlives its removal) with their room kept.
    std::vector<std::shared_ptr<CTmsResource>> m_putResources;      // monitor thread
    std::vector<std::shared_ptr<CTmsResource>> m_publishResources;  // status-file mutex
    std::string m_appServerUuid;                                    // m_sharedCs
    std::string m_contextApplication;                               // m_sharedCs
    std::string m_contextModel;                                     // m_sharedCs
};
