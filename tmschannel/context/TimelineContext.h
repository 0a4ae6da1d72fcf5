// CTimelineContext, one of the channel's four play/record contexts. A
// client names it by its token once AllocateContext has registered a
// timeline with it; RevokeTimeline (FreeContext, CloseTimeline, the
// channel's Close) stops it, detaches the timeline and returns it to free.
//
// Locks: m_cs (the context lock) guards everything below unless a member
// says otherwise; it is left around every call into the timeline component,
// which may call back into the broker from its own threads. The token is
// also an atomic so that the broker can resolve tokens without any lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "platform/com/ComPtr.h"
#include "platform/com/Variant.h"
#include "platform/kernel/CriticalSection.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/ipmclient/RtsStatusTypes.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/ITimeline.h"
#include "tmschannel/common/CachedText.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/context/ContextOwner.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/context/ContextStatusBlock.h"
#include "tmschannel/context/FileMap.h"
#include "tmschannel/context/StateWindow.h"
#include "tmschannel/context/StatusHandOn.h"
#include "tmschannel/context/TrackMapping.h"
#include "tmschannel/rts/MmioMsg.h"
#include "tmschannel/rts/RtsMessageFormat.h"

class CEntryPoint;
class CTmsResource;

// The trace words of a port state ("portState=Play ") and a stop mode ("EE ").
const char* PortStateWord(std::int32_t state);
const char* StopModeWord(std::int32_t mode);

class CTimelineContext final : public ITrackMapping {
public:
    // The client's context change record and the status record handed back
    // through the broker.
    static constexpr int kChangeRecordSize = 124;
    static constexpr int kUpdateRecordSize = 40;

    // Reads the context's settings from the channel's configuration
    // document (InitFromConfig); a failure is raised.
    CTimelineContext(std::int32_t index, IXMLDOMNode* config, IContextOwner& owner);
    ~CTimelineContext();
    CTimelineContext(const CTimelineContext&) = delete;
    CTimelineContext& operator=(const CTimelineContext&) = delete;

    std::int32_t Index() const { return m_index; }

    // Shared storage, the gang order and the record latencies. With refresh,
    // an allocated context has the RTS drop its queued states.
    HRESULT InitFromConfig(IXMLDOMNode* config, bool refresh);
    // "gangedctx" (boolean), "mappedaudiooffset", "mappedvideooffset"
    // (integers); other names fail with 0x8004300f.
    HRESULT SetProperty(const std::string& name, const VARIANT& value);
    // Added to a resource number to give the movie track it plays.
    std::int32_t MappedVideoOffset() const override;
    std::int32_t MappedAudioOffset() const override;
    // The record latencies, in fields, that apply to the current record:
    // longer with shared storage, longest for a remote movie.
    std::int32_t RecordLatency() const;
    std::int32_t RecordCueLatency() const;
    // 0 while free. Readable without any lock.
    std::uint32_t Token() const { return m_token.load(std::memory_order_acquire); }

    // Stamps the token of an allocation in progress, so that no other
    // allocation takes this context; the caller holds the channel lock.
    // False when the context is not free any more.
    bool Reserve(std::uint32_t token);
    // Undoes a Reserve whose registration failed.
    void Unreserve(std::uint32_t token);

    // Active: the token is set and the RTS reports this context active.
    bool IsActive() const;
    // Free for the channel: token 0 and the RTS holds no trigger for it.
    bool IsFree(std::int32_t channel) const;

    HRESULT RegisterTimeline(std::uint32_t token, ITmsContextBroker* broker, ITimeline* timeline,
                             bool publish);
    // S_FALSE when no timeline is registered.
    HRESULT RevokeTimeline();

    // S_OK when the port reached state within timeoutMs, S_FALSE when the
    // wait timed out, was cancelled or the token is not this context's.
    HRESULT WaitForPortState(std::uint32_t token, TmsPortState state, std::uint32_t timeoutMs);
    // Ends every wait for a port state, in progress or to come, at once with
    // S_FALSE: the channel is closing and no status will come for it.
    void CancelWaits();
    // The port state last reported for this context.
    TmsPortState ReportedPortState() const;

    // Context status names this context answers; S_FALSE for any other name.
    // With offline (the RTS is gone or the channel is offline) the RTS's
    // live figures (port state, speed, trigger status) answer as for an
    // idle port, since nothing runs the port any more.
    HRESULT StringToStatus(const std::string& name, VARIANT* value, bool offline = false);
    // The same names with the values of a free context.
    static HRESULT StringToDefaultStatus(const std::string& name, VARIANT* value);

    // The registered timeline's movie; null without a timeline or when the
    // timeline has no movie.
    CComPtr<IMovie> Movie();

    // A client's change (the 124-byte record): tested against the
    // port-state machine, merged into the current record, traced in one
    // line and sent to the RTS as states. S_FALSE on a token that is not
    // this context's or without a timeline; a failure leaves the current
    // record as it was.
    HRESULT ApplyContextChange(std::uint32_t token, const unsigned char* change);
    // A status record the timeline handed back: follows the RTS's change ids,
    // position and port state.
    HRESULT ApplyContextUpdate(std::uint32_t token, const unsigned char* update);
    // A change (the 124-byte record) the RTS holds until its condition
    // (a TmsPortContextCondition) comes with the trigger value, or, with
    // cancel, the end of the one held under name. Sent at once; S_FALSE on
    // a token that is not this context's or without a timeline.
    HRESULT ApplyScheduledChange(std::uint32_t token, const std::string& name,
                                 std::int32_t condition, std::uint32_t triggerValue, bool cancel,
                                 const unsigned char* change);

    // The channel's E-to-E changed: a paused context on an E-to-E board
    // shows it at once. S_FALSE for a free context.
    HRESULT ApplyEtoEChange(bool on);
    // Has the RTS drop every queued state of the context, through the broker
    // like a client's change (the channel's settings changed). S_FALSE
    // without a timeline.
    HRESULT PurgeAllStates();

    // The status pass of the channel's monitor: the RTS's report for this
    // context is kept and handed to the timeline, and the movie status is
    // refreshed at most every 500 ms. S_FALSE for a free context or when
    // the RTS has nothing new for it.
    HRESULT PutStatus(std::uint16_t cycle, std::int32_t channel);
    // Writes the context's part of the channel's status block through the
    // status-file mutex the caller holds (block). S_FALSE for a free context.
    HRESULT PublishStatus(const CStatusFileLock& block, CChanAccess& access, bool force);
    // Keeps the movie's properties for the status names and, when asked,
    // publishes them (and the thumbnail). S_FALSE without a movie.
    HRESULT SaveMovieStatus(bool withThumbnail, bool publish, bool force);
    // Keeps the movie's name and URI of a context that is not the RTS's
    // active one; publish also names it in the context's URI slot.
    HRESULT SavePreviewStatus(bool publish);

    // The channel's offline state, as the status pass read it: going offline
    // forces a context that is not idle to stop; coming back is logged.
    HRESULT HandleOfflineEvent(TmsPortState portState);
    // A record whose volume is full is stopped (status pass, after the
    // offline check); during a cue record nothing is cut.
    HRESULT HandleStorageCutOff(TmsPortState portState);

    // Sends one port context record at once (trigger Asap, a new change id).
    // S_FALSE without a timeline.
    HRESULT SendImmediateState(rts::PortContextRecord record);
    // Opens on the RTS the media files new states use, or (keepOpen false)
    // closes those no state uses any more. Caller holds m_cs.
    HRESULT SendFileStates(bool keepOpen);

    // The current record, in host form.
    struct Current {
        std::uint32_t flags = 0;
        std::int32_t changeId = 0;
        std::int32_t nextChangeId = 1;
        std::int32_t nextScheduledId = -10;
        std::int32_t previousChangeId = 0;
        std::int32_t reportedChangeId = 0;
        std::int32_t trigger = 0;
        std::int32_t portState = TmsIdle;
        std::int32_t endMode = 3;
        std::int32_t idleMode = 3;
        float speed = 0.0f;
        PositionPair position, markIn, markOut, minPosition, maxPosition;
        std::int32_t startLimit = -1;
        std::int32_t endLimit = -1;
        std::int32_t timelineLength = 0;
        std::int32_t recordOffset = 0;
        bool underConstruction = false;
        bool readOnly = false;
        bool remote = false;
    };

private:
    void Reset();
    std::int32_t TakeChangeId();
    // The next scheduled change id: -10, -11, ...
    std::int32_t TakeScheduledId();
    void CloseMediaFiles(CEntryPoint& trace);
    // The steps of a change, under m_cs.
    void ApplyPortStateChange(CEntryPoint& trace, std::int32_t requested);
    void ApplyPositionChange(CEntryPoint& trace, std::int32_t moviePosition);
    void ApplySpeedChange(CEntryPoint& trace, float speed, bool* deferred);
    void ApplyStop();
    // Outside m_cs: the movie's thumbnail mark into the status block and its
    // image into the thumbnail slot.
    HRESULT ApplyThumbnailChange();
    // The movie's record marks, unless a ganged context other than the
    // first of the gang sets them.
    void SetMarks(CEntryPoint& trace, IMovie* movie, std::int32_t markIn, std::int32_t markOut,
                  std::int32_t mode, bool final);
    std::string AssetUri() const;
    // A follower of a gang leaves some resources to the gang's leader.
    bool IsRedundantGangResource(CTmsResource& resource) const;
    bool LimitChangePurges() const;
    void ClearStateWindow();
    // An edit of the movie while the context plays it.
    void ApplyEditChange(std::int32_t start, std::int32_t end, std::int32_t delta,
                         std::int32_t options);
    void ShiftForEdit(std::int32_t delta);
    // What a change may alter of the window and the media files, kept until
    // the RTS takes its state message: a change that fails before leaves
    // them as they were. Caller holds m_cs.
    // The window records its changes while the snapshot lives (see
    // CStateWindow::BeginUndo); files entered after filesEntered are those
    // the change brought.
    struct StateSnapshot {
        explicit StateSnapshot(CStateWindow& w) : window(w) { window.BeginUndo(); }
        ~StateSnapshot() { window.EndUndo(); }
        StateSnapshot(const StateSnapshot&) = delete;
        StateSnapshot& operator=(const StateSnapshot&) = delete;

        CStateWindow& window;
        std::uint64_t filesEntered = 0;
        bool taken = false;  // the RTS took the state message
    };
    void SaveStates(StateSnapshot& snapshot) const;
    // Puts the window back and forgets the media files the change brought;
    // those the RTS had already opened are closed.
    void RestoreStates(StateSnapshot& snapshot);
    // Limits, the next state list, the port context and every resource's
    // states, with the media files opened before and closed after. With a
    // snapshot, marks it taken (and lets go of its references) once the RTS
    // has taken the state message.
    HRESULT SendState(StateSnapshot* snapshot = nullptr);
    // SendState from a status update: a failure before the RTS took the
    // message puts the window and files back, and is raised.
    void SendStateKeepingWindow(CEntryPoint& trace);
    // A client's speed: finite and within the channel's shuttle range, else
    // E_INVALIDARG naming the speed and the range.
    void CheckSpeed(CEntryPoint& trace, float speed) const;
    // Limits a change sends: a start after the end, both given and bounded,
    // is E_INVALIDARG naming the values. Limits kept from earlier changes
    // are not judged here: the timeline may have changed under them.
    void CheckLimits(CEntryPoint& trace, const context_record::ChangeRecord& client) const;
    void UpdateTimelineLimits(CEntryPoint& trace);
    // The movie's play list at the position (step 6 of the limits): section,
    // edit, repeats and the next pause point. Caller holds m_cs.
    void ReadPlayList(CEntryPoint& trace, IMovie* movie, std::int32_t m);
    // The RTS reports a playing context at a limit: with auto stop it is
    // held there (or, at a looping pause, sent round). Returns whether the
    // flags now want a state message. Caller holds m_cs.
    bool HandleActiveAtLimit(CEntryPoint& trace, const context_record::StatusRecord& update);
    // Record progress: the movie's mark out, every resource's segments and
    // continuous record. Caller holds m_cs.
    void HandleRecordUpdate(CEntryPoint& trace, const context_record::StatusRecord& update);
    void HandleContinuousRecord(CEntryPoint& trace, IMovie* movie,
                                const context_record::StatusRecord& update);
    // The resources that record: track type and number for each.
    struct RecordTrack {
        std::shared_ptr<CTmsResource> resource;
        std::int32_t type = 0;
        std::int32_t number = 0;
    };
    std::vector<RecordTrack> RecordTracks(IMovie* movie);
    // S_FALSE when the pictures were not examined or no I picture was found:
    // a failed check never stops a record.
    HRESULT AlignSegmentToIFrame(IMovie* movie, std::int32_t position);
    struct VideoSegment {
        std::string mediaName;
        std::string compression;
        long duration = 0, mediaIn = 0, mediaOut = 0;
    };
    HRESULT GetVideoSegmentInfo(IMovie* movie, std::int32_t position, VideoSegment* out);
    // The volume of the media files the context writes, for the cut-off.
    void NoteRecordVolume();
    HRESULT AdjustSegmentsMarks(IMovie* movie, std::int32_t position, long mediaIn, long mediaOut);
    // The "ctx " record of the next state message; S_FALSE when no change
    // flag is set and nothing is to be sent.
    HRESULT WritePortContext(rts::PortContextRecord* ctx);
    void HandlePortStateChange(CEntryPoint& trace, std::int32_t moviePosition,
                               std::int32_t oldState, std::int32_t newState);
    // Fields in one second of the context's timecode format.
    std::int32_t FieldsPerSecond() const;
    // The status pass's figures; under m_statusCs.
    void SaveStatus(std::uint16_t cycle, std::uint32_t tick, const TmsPortContextStatus& rts);
    // The value of a status code: under m_cs, or without it for a code that
    // ReadsStatusOnly (m_status and the channel's format, no more).
    HRESULT StringToVariant(std::int32_t code, VARIANT* value);
    static bool ReadsStatusOnly(std::int32_t code);
    // Duration and timecode texts at the context's field rate.
    std::string DurationText(std::int64_t fields) const;
    std::uint16_t TimecodeCode(bool dropFrame) const;
    // The latencies of RecordLatency and RecordCueLatency; caller holds m_cs.
    std::int32_t EffectiveRecordLatency() const;
    std::int32_t EffectiveRecordCueLatency() const;
    // The timeline maximum as "maxpos" answers it.
    std::int32_t ReportedMaximum() const;

    // Durations in fields, fixed by the configuration.
    struct Latencies {
        std::int32_t oneSecond = 0;
        std::int32_t record = 0;
        std::int32_t recordCue = 0;
        std::int32_t sharedRecord = 0;
        std::int32_t sharedRecordCue = 0;
        std::int32_t remoteRecord = 0;
        std::int32_t remoteRecordCue = 0;
    };

    const std::int32_t m_index;
    IContextOwner& m_owner;
    bool m_sharedStorage = false;
    std::int32_t m_gangOrder = -1;
    Latencies m_latency;
    bool m_ganged = false;
    std::int32_t m_mappedAudioOffset = 0;
    std::int32_t m_mappedVideoOffset = 0;
    bool m_offline = false;                // the latch of HandleOfflineEvent
    std::uint16_t m_cycle = 0;             // of the last PutStatus
    std::int32_t m_lastTriggerStatus = 0;  // of the last PutStatus
    // Movie or preview status: saved by client calls and the status pass.
    std::atomic<std::uint32_t> m_lastMovieSaveTick{0};
    mutable CCriticalSection m_statusCs;  // inside m_cs, never around it
    ContextStatusBlock m_status;          // m_statusCs
    // The status pass's texts, kept with the figures they were made from;
    // m_statusCs. Duration, countdown, section and event countdown, position.
    CCachedText<2> m_durationText, m_countdownText, m_sectionCountdownText, m_eventCountdownText;
    CCachedText<3> m_positionText;
    std::atomic<std::uint32_t> m_token{0};  // written under m_cs or the channel lock
    CComPtr<ITimeline> m_timeline;
    // Which status records go on to m_timeline; m_cs. Forgotten whenever
    // the timeline or the allocation changes.
    CStatusHandOn m_handOn;
    CComPtr<ITmsContextBroker> m_broker;  // the channel's, given with the timeline
    bool m_assigned = false;
    Current m_rec;
    std::int32_t m_recordPhase = 0;
    bool m_firstChangePending = true;
    bool m_defaultIdleEe = false;
    bool m_loop = false;
    bool m_pauseAtLimit = false;
    // The play list at the position, as the timeline limits read it.
    struct PlayListPoint {
        std::string sectionUuid, sectionName, editUuid, editName;
        std::int32_t sectionDuration = 0, sectionStart = 0;
        std::int32_t editDuration = 0, editStart = 0;
        bool editRepeat = false;
        bool movieRepeat = false;
        std::int32_t pausePosition = -1;  // movie position; -1 none
        std::int32_t pauseMode = 3;
        std::int32_t parkedPosition = -1;  // the pause the context stopped at
        bool parked = false;
    };
    PlayListPoint m_playList;
    std::uint32_t m_lastRecordUpdateTick = 0;
    std::int32_t m_timelineMin = 0;
    std::int32_t m_timelineMax = 0;
    std::int32_t m_lastReportedPortState = TmsIdle;
    std::uint32_t m_lastStateMessageTick = 0;
    // Before the window: a state's file references go before the records.
    CFileMap m_files;
    CStateWindow m_window;
    CMmioMsg m_stateMessage{rts::kLargeMessageSize};  // the first message buffer
    CMmioMsg m_fileMessage{rts::kLargeMessageSize};   // the second message buffer
    CMmioMsg m_closeMessage{rts::kLargeMessageSize};  // the third message buffer
    mutable CCriticalSection m_cs;
    // CancelWaits: innermost, held only to test or set the flag.
    std::mutex m_waitMutex;
    std::condition_variable m_waitWake;
    bool m_waitsCancelled = false;  // m_waitMutex
};
