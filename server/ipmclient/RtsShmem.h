// CRtsShmem: a reader of the RTS shared memory (RtsShmemLayout.h) of the
// current runtime folder.
//
// Every query answers TRUE when it read a whole, consistent value, and FALSE
// (leaving the output untouched) when the memory is not open, not set up,
// of another version, the channel, context or audio index is out of range,
// the RTS does not run that channel, or an update stayed in progress (or the
// value kept changing under the reader) for kRtsUpdateWaitMs. It never
// blocks the RTS. It waits out an update in progress, at most that long:
// once it gave up on an update, later queries that find the same update
// still in progress answer FALSE at once, so a stalled RTS costs one wait,
// not one per query.
//
// Thread safety: after Open, any number of threads may query at once. Open,
// Close and SetClock are made by the owner while no query runs.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "platform/kernel/Clock.h"
#include "platform/kernel/Handle.h"
#include "server/ipmclient/RtsShmemLayout.h"
#include "server/ipmclient/RtsStatusTypes.h"

class CRtsShmem {
public:
    CRtsShmem() = default;
    ~CRtsShmem();
    CRtsShmem(const CRtsShmem&) = delete;
    CRtsShmem& operator=(const CRtsShmem&) = delete;

    // Maps the RTS memory read-only. FALSE when the RTS has not created it
    // (or it is not set up, or is of another version); TRUE again when
    // already open.
    BOOL Open();
    BOOL Close();
    // The clock that bounds the wait for an update in progress (tests hold
    // or step it); the system clock by default.
    void SetClock(IClock& clock) { m_clock = &clock; }

    BOOL GetTickCount(int channel, unsigned* ticks) const;
    BOOL GetGpiInputMask(int channel, unsigned* mask) const;
    BOOL GetGpiOutputMask(int channel, unsigned* mask) const;
    BOOL GetTimeOfDay(unsigned* timeOfDay) const;
    BOOL GetActiveContext(int channel, long* context) const;
    // Nonzero when the context is the one the RTS runs on the channel.
    BOOL IsActiveContext(int channel, int context) const;
    BOOL GetContextStatus(int channel, int context, TmsPortContextStatus* status) const;
    BOOL GetTriggerStatus(int channel, int context, TmsPortContextTriggerStatus* status) const;
    BOOL GetPortState(int channel, int context, TmsPortState* state) const;
    BOOL GetIdleMode(int channel, int context, TmsStopMode* mode) const;
    BOOL GetPosition(int channel, int context, int* position) const;
    BOOL GetAudioStatus(int channel, int audio, TmsAudioStatus* status) const;
    BOOL GetVideoStatus(int channel, TmsVideoStatus* status) const;
    BOOL GetTimecodeStatus(int channel, TmsTimecodeStatus* status) const;
    BOOL GetAncDataStatus(int channel, TmsAncillaryDataStatus* status) const;

private:
    template <class Copy>
    bool ReadChannel(int channel, Copy copy) const;
    template <class T, class Get>
    BOOL ReadValue(int channel, T* out, Get get) const;

    const RtsShmemLayout* m_view = nullptr;  // set by Open, cleared by Close
    HANDLE m_mapping = nullptr;
    IClock* m_clock = &SystemClock();  // constant while queries run
    // The odd sequence word of the update each query last gave up on, per
    // channel block and for the header; 0 = none. Any query thread.
    mutable std::array<std::atomic<std::uint32_t>, kRtsMaxChannels> m_stalledChannel{};
    mutable std::atomic<std::uint32_t> m_stalledHeader{0};
};
