// CRtsShmem: a reader of the RTS shared memory (RtsShmemLayout.h) of the
// current runtime folder.
//
// Every query answers TRUE when it read a whole, consistent value, and FALSE
// (leaving the output untouched) when the memory is not open, not set up,
// of another version, the channel, context or audio index is out of range,
// the RTS does not run that channel, or the value kept changing under the
// reader (torn). It never blocks the RTS and never waits.
//
// Thread safety: after Open, any number of threads may query at once. Open
// and Close are made by the owner while no query runs.
#pragma once

#include "platform/kernel/Handle.h"
#include "server/ipmclient/RtsStatusTypes.h"

struct RtsShmemLayout;

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
    const RtsShmemLayout* m_view = nullptr;  // set by Open, cleared by Close
    HANDLE m_mapping = nullptr;
};
