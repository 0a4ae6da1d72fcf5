// The simulated RTS of one channel: what it was told (port contexts, state
// lists, file codes, GPI) and where it is (tick, position, speed), advanced
// one video field at a time and published into the channel's block of the
// RTS shared memory.
//
// Movement: a context in ShuttlePlay moves at its speed (fields per field,
// fractions kept); ShuttleRecord records one field per field whatever the
// speed; CuePlay and CueRecord hold their position. A context stops at its
// maximum position when one was given, at its minimum when moving
// backwards, and at the last position its state list covers: it reports
// trigger status 4 (ended) there with the speed it had, until the client
// holds it (speed 0, or "at limit"); a new position or a speed other than
// 0 moves it on and it reports running again. A context the client sends idle
// (port state 0 or stop-as-idle) reports trigger status 4 with port state
// 0 until the client revokes it ("cctx"), so that the client sees the end of
// what it started; only a context nobody uses reports 0. The idle mode
// applies while the context is idle.
//
// Recording: the media files a record state names grow on their volume, one
// field of bytes per field recorded (the video codec's data rate; 192000
// bytes a second for the other resources), the video file with a picture
// index (server/appserverutil/PictureIndex.h) in the codec's GOP pattern.
// Playing a state whose media position lies past what was recorded into
// its file is counted and noted.
//
// GPI outputs: the active context's "gpi " states wait until its position
// passes them while it moves (ShuttlePlay or ShuttleRecord at a speed other
// than 0): a state fires on the tick at which the position reaches it, and
// one at the position where the context starts to move fires on the first
// tick of the move (a move starts again after idle, a switch of the active
// context or a new position). A cued or stopped context fires nothing. Each firing is
// kept, with its tick, in a short log (GpiFiredLog).
//
// Ancillary data: while the moving position lies inside an "ancd" state
// that names a file, the status says present and the packet count moves on
// by one a field.
//
// Scheduled changes ("schc" with a name) are held by name until their
// condition comes, checked field by field: a tick count (on exactly that
// field, or the next one when it has passed), the rising edge of a GPI input
// (on the field after it), the house clock reaching a value, or a gang event
// (on the field after it). A change for the default context (index -1)
// acts on the active context, or context 0 when none is. A cancel removes
// the change; a second change under a held name replaces it. What fired is
// kept in a log with the field it was due on and the field it fired on.
//
// Audio and timecode: each audio path reports the gains of the last
// configuration it was sent, and a level that moves like a slow tone while
// the active context plays a file on that path (or records), silence
// otherwise; an error code can be raised on it. The timecode generator runs
// in its configured mode (fixed start stays put, free run counts fields from
// the fixed start, time of day and clock watcher follow the time of day);
// the reader follows the played material's timecode and reports the
// invalid bit where there is none. The status's current timecode is the
// codec input's: the generator's for "Internal", else the reader's. A record
// captures that timecode and its port position when it starts.
//
// Thread safety: none; the simulator guards each model with its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/UniqueFd.h"
#include "server/ipmclient/RtsShmemLayout.h"
#include "server/rtssim/RtsMessage.h"
#include "server/rtssim/RtsSimConfig.h"

class CRtsChannelModel {
public:
    explicit CRtsChannelModel(const RtsSimChannel& config);

    // Takes a message the checker accepted.
    void Apply(const RtsMessage& message);
    // Client opened ("open") or went away: forgets files and contexts.
    void Reset();
    // Moves the clock on by fields (at most a few at a time).
    void Advance(std::uint32_t fields);
    void SetGpiInput(int input, bool on);
    // The house clock the clock watchers compare with: takes value now and
    // counts one a field from there.
    void SetHouseClock(std::uint32_t value);
    // A gang event (gang value, operation id): fires on the next field.
    void SetGangEvent(std::uint16_t value, std::uint16_t operation);

    struct Fired {
        std::string name;
        std::int32_t condition = 0;
        std::uint32_t triggerValue = 0;
        std::uint32_t receivedTick = 0;  // when the schedule arrived
        std::uint32_t dueTick = 0;       // the field its condition named
        std::uint32_t firedTick = 0;     // the field it fired on
        std::int32_t context = 0;
        std::int32_t changeId = 0;
    };
    const std::vector<Fired>& FiredLog() const { return m_fired; }
    std::size_t HeldChanges() const { return m_held.size(); }
    // As if the RTS had been told by another controller: the context takes
    // the port state (any but idle makes it the active one) and reports the
    // trigger status.
    void SetContextState(int index, std::int32_t portState, std::int32_t trigger);
    // The error code audio path n reports (0 clears it); false for no such path.
    bool SetAudioError(int audio, std::uint32_t code);
    // The packed time of day the time-of-day generator follows.
    void SetTimeOfDay(std::uint32_t timeOfDay) { m_timeOfDay = timeOfDay; }
    const RtsSimChannel& Config() const { return m_config; }
    // The generator's and the reader's timecode words as published.
    std::uint32_t GeneratorTimecode() const;
    std::uint32_t ReaderTimecode() const;
    void Publish(RtsChannelBlock& block) const;
    // The next video file recorded starts this many pictures before an I
    // picture (once); 0 puts the I picture first again.
    void SetGopOffset(int pictures) { m_gopOffset = pictures; }
    // Played states whose media position lay past what had been recorded.
    std::uint64_t PlayedPastEnd() const { return m_playedPastEnd; }
    // What the simulator should log, since the last call.
    std::vector<std::string> TakeNotes() { return std::exchange(m_notes, {}); }

    const std::set<std::uint16_t>& OpenFiles() const { return m_openFiles; }
    bool IsOpen() const { return m_open; }
    std::uint32_t Ticks() const { return m_ticks; }
    std::string Summary() const;

    struct Context {
        std::int32_t portState = TmsIdle;
        double position = 0;
        float speed = 0;
        bool hasMin = false, hasMax = false, hasListEnd = false;
        std::int32_t minPosition = 0, maxPosition = 0, listEnd = 0;
        std::int32_t endMode = TmsStopFreeze, idleMode = TmsStopFreeze;
        std::int32_t trigger = TmsTriggerNone;
        std::uint32_t changeId = 0;
        bool atEnd = false;
        std::int64_t recordedFields = 0;               // by the record in progress
        std::int32_t recordStart = 0;                  // port position the record began at
        std::vector<RtsMediaState> states;             // of the last list sent
        std::vector<bool> audioWithMedia;              // of its last state lists
        std::vector<RtsTimecodeState> timecodeStates;  // of its last state lists
        bool captured = false;                         // a record runs: the timecode it started at
        std::uint32_t capturedTimecode = 0;
        std::int32_t capturedPosition = 0;
    };
    const Context& ContextAt(int index) const { return m_contexts[index]; }
    std::int32_t ActiveContext() const { return m_active; }
    std::uint32_t GpiInputs() const { return m_gpiIn; }
    std::uint32_t GpiOutputs() const { return m_gpiOut; }

    // One GPI state fired: the tick, its port position and its mask.
    struct GpiFired {
        std::uint32_t tick;
        std::int32_t position;
        std::uint32_t mask;
    };
    static constexpr std::size_t kGpiFiredKept = 8;
    // The last kGpiFiredKept firings, oldest first, and how many there were
    // since the client opened or the log was cleared.
    const std::vector<GpiFired>& GpiFiredLog() const { return m_gpiFired; }
    std::uint32_t GpiFiredCount() const { return m_gpiFiredCount; }
    void ClearGpiFiredLog();
    // "gpifired COUNT[: tick T position P mask 0xM; ...]".
    std::string GpiFiredText() const;
    std::uint32_t AncPackets() const { return m_ancPackets; }
    bool AncPresent() const { return m_ancPresent; }

private:
    struct Held {
        RtsScheduleRecord schedule;
        RtsCtxRecord ctx{};
        std::uint32_t receivedTick = 0;
    };
    void ApplyCtx(const RtsCtxRecord& r, const RtsMessage& m);
    void Schedule(const RtsMessage& m);
    // One field: the clock moves, due changes fire, the active context moves.
    void AdvanceField();
    void FireDue();
    void Fire(const Held& held, std::uint32_t dueTick);
    void Move();
    struct MediaFile {
        std::string path;  // the file the handle names, resolved at open
        bool write = false;
        bool video = false;
        std::unique_ptr<CUniqueFd> data, index;  // open while recording into it
        std::int64_t fields = 0;                 // recorded into it so far
        double bytesOwed = 0;                    // fractions of a field's bytes
        int gopStart = 0;                        // pattern position of field 0
    };
    void OpenFiles(const RtsMessage& m);
    void CloseFile(std::uint16_t code);
    void OpenIndex(MediaFile& f);
    // One field recorded at port position pos into every file a state of
    // the context names there.
    void RecordField(const Context& c, std::int32_t pos);
    static std::vector<const RtsMediaState*> StatesAt(const Context& c, std::int32_t pos);
    void WriteField(MediaFile& f);
    // A playing context at pos: a state past what its file recorded.
    void CheckPlayed(const Context& c, std::int32_t pos);
    std::vector<std::uint8_t> GopPattern() const;
    // The gains and timecode settings of configuration text a client sent.
    void TakeConfig(const std::string& text);

    RtsSimChannel m_config;
    bool m_open = false;
    std::uint32_t m_ticks = 0;
    std::array<Context, kRtsContexts> m_contexts{};
    std::int32_t m_active = -1;
    std::set<std::uint16_t> m_openFiles;
    std::uint32_t m_gpiIn = 0, m_gpiOut = 0;
    std::vector<RtsGpiState> m_gpiPending;  // of the active context, by position
    std::int32_t m_movingContext = -1;      // the context that moved on the last tick, or -1
    std::vector<GpiFired> m_gpiFired;
    std::uint32_t m_gpiFiredCount = 0;
    std::vector<RtsAncSpan> m_ancSpans;  // of the active context
    std::uint32_t m_ancPackets = 0;
    bool m_ancPresent = false;

    void FireGpi(std::int32_t from, std::int32_t to);
    // A client that never purges cannot grow these without end.
    static constexpr std::size_t kAncSpansKept = 4096;
    static constexpr std::size_t kGpiPendingKept = 4096;
    std::map<std::string, Held> m_held;  // scheduled changes by name
    std::uint32_t m_gpiEdges = 0;        // rising edges since the last field
    std::uint32_t m_gpiEdgeTick = 0;
    std::uint32_t m_houseClock = 0;
    bool m_gangEvent = false;
    std::uint32_t m_gangTrigger = 0;  // operation id << 16 | gang value
    std::uint32_t m_gangEventTick = 0;
    std::vector<Fired> m_fired;                            // the last kFiredKept
    std::map<std::uint16_t, MediaFile> m_files;            // by file code
    std::map<std::string, std::int64_t> m_recordedFields;  // by path; outlives the code
    std::map<std::string, int> m_gopStarts;                // by path, for a file opened again
    std::set<std::uint16_t> m_pastEndNoted;                // codes noted once
    int m_gopOffset = 0;
    std::uint64_t m_playedPastEnd = 0;
    std::vector<std::string> m_notes;
    std::array<std::uint32_t, kRtsMaxAudio> m_audioError{};
    std::uint32_t m_timeOfDay = 0;
    std::uint32_t m_generatorStart = 0;  // tick the free-running generator started at
};
