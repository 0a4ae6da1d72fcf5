// What a timeline context needs of the channel that owns it. The channel
// implements it; a test may stand in for it.
//
// Thread safety: every member may be called from any thread; none of them
// takes the channel lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/HResult.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/WinTypes.h"

class CChanAccess;
class CMmioMsg;
class CRtsShmem;
class CTmsResource;

class IContextOwner {
public:
    // The channel number of tokens and of RTS shared memory.
    virtual std::int32_t ChannelNumber() const = 0;
    // The channel's name, as traces and messages print it.
    virtual std::string ChannelName() const = 0;
    virtual const CRtsShmem& RtsShmem() const = 0;
    // Null while the channel has none.
    virtual CChanAccess* ChanAccess() const = 0;
    // One exchange with the RTS (the channel's connection serialises them).
    virtual HRESULT SendRtsMsg(CMmioMsg& message, DWORD timeoutMs) = 0;
    // The channel's resources, video first (a copy: they stay alive for the
    // caller even when the channel closes meanwhile).
    virtual std::vector<std::shared_ptr<CTmsResource>> Resources() const = 0;
    // The channel's video format, its loop setting and its board's E-to-E.
    virtual std::int32_t VideoFormat() const = 0;
    virtual bool LoopPlayback() const = 0;
    virtual bool EeBoard() const = 0;
    virtual std::string ChannelType() const = 0;
    // The channel belongs to a gang (its gang index is 0 or more).
    virtual bool Ganged() const = 0;
    // The length of one continuous-record segment, in fields (0 while
    // continuous record is off).
    virtual std::int32_t ContinuousRecordFields() const = 0;
    // The speeds the channel's shuttle may run at, from its configuration.
    struct SpeedRange {
        float min = -32.0f;
        float max = 32.0f;
    };
    virtual SpeedRange ShuttleSpeedRange() const = 0;
    // The channel's default idle mode (E-to-E or freeze).
    virtual HRESULT SetDefaultIdleMode(bool useEtoE, bool force) = 0;
    // What the timeline limits and the record handling read of the channel's
    // settings. Defaults are those of a channel whose settings were never
    // changed: a stand-in channel need not override it.
    struct PlayListSettings {
        bool autoStop = true;
        bool listPauses = true;
        bool listRepeats = true;
        bool continuousRecord = false;
        bool continuousRecordSuspended = false;
        std::int32_t continuousRecordLength = 0;   // fields, L
        std::int32_t continuousRecordSegment = 0;  // fields, S; 0 while off
    };
    virtual PlayListSettings PlayList() const { return {}; }
    // The clock of the context's record-update and state-refresh intervals.
    virtual IClock& Clock() const { return SystemClock(); }

protected:
    ~IContextOwner() = default;
};
