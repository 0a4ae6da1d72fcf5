// The simulated RTS of one channel: what it was told (port contexts, state
// lists, file codes, GPI) and where it is (tick, position, speed), advanced
// one video field at a time and published into the channel's block of the
// RTS shared memory.
//
// Movement: a context in ShuttlePlay or ShuttleRecord moves at its speed
// (fields per field, fractions kept); CuePlay and CueRecord hold their
// position. A context stops (speed 0, end mode applied) at its maximum
// position when one was given, at its minimum when moving backwards, and at
// the last position its state list covers. The idle mode applies while the
// context is idle.
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
#include <set>
#include <string>
#include <vector>

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

private:
    void ApplyCtx(const RtsCtxRecord& r, const RtsMessage& m);
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
    std::array<std::uint32_t, kRtsMaxAudio> m_audioError{};
    std::uint32_t m_timeOfDay = 0;
    std::uint32_t m_generatorStart = 0;  // tick the free-running generator started at
};
