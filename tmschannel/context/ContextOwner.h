// What a timeline context needs of the channel that owns it. The channel
// implements it; a test may stand in for it.
//
// Thread safety: every member may be called from any thread; none of them
// takes the channel lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/HResult.h"
#include "platform/kernel/WinTypes.h"

class CChanAccess;
class CMmioMsg;
class CRtsShmem;

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

protected:
    ~IContextOwner() = default;
};
