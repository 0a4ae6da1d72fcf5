// CChanAccess: one channel's view of the server-wide status memory
// (StatusMemoryLayout.h): the channel's status block, its offline flags, its
// publication rings, thumbnail and asset-URI slots.
//
// The constructor opens the memory (creating it, zero-filled, when it is the
// first in the runtime folder). A channel index outside 0 to 15 leaves the
// object without a block: every call then fails with E_UNEXPECTED.
//
// Thread safety: the block is shared with other threads and processes.
// Calls that write take the status-file mutex (MutexHandle(), recursive, at
// most 5000 ms; a mutex abandoned by a dead process is taken over, since the
// block stays readable) unless noted; a caller that already holds it may
// call them. IncrementIndex expects its caller to hold the mutex.
// StringToStatus reads under the mutex too, so that this process never sees
// one publication's ring index with another's values.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/HResult.h"
#include "platform/com/Variant.h"
#include "server/appserverutil/SharedMemory.h"

class CChanAccess : public CSharedMemory {
public:
    explicit CChanAccess(LONG channelIndex);
    ~CChanAccess() override;

    BOOL Open(BOOL* created) override;
    void Close() override;

    LONG ChannelIndex() const { return m_channelIndex; }
    // This channel's block inside the view; null when there is none.
    std::uint8_t* StatusBlock() const { return m_statusBlock; }

    HRESULT IsChanOffline(bool& offline) const;
    HRESULT IsSysOffline(bool& offline) const;
    HRESULT SetChanOfflineEvent(bool offline);
    // Server-wide: marks every channel's block.
    HRESULT SetSysOffline(bool offline);
    // Empties the channel's published status; the configuration change
    // stamps are kept.
    HRESULT ClearChannelStatus();
    // Empties the context region (movie, marks, texts, rings).
    HRESULT ClearPortStatus();
    // Advances the ring index at index (which must be one of the block's ring
    // index words) and returns the slot to write, 0 to slots - 1. An address
    // that is not a ring index is refused: nothing is written and 0 returned.
    LONG IncrementIndex(LONG* index);
    // "portstate" (VT_I4) and "shuttlespeed" (VT_R4) of the last context
    // publication. range and the ticks are accepted for the caller's sake;
    // the value is the latest one. Unknown names: E_INVALIDARG.
    HRESULT StringToStatus(const std::string& name, bool range, LONG* startTick, LONG* endTick,
                           VARIANT* value);
    // A VT_ARRAY | VT_UI1 image of at most 16380 bytes; VT_EMPTY or VT_NULL
    // clear it.
    HRESULT SetThumbnail(const VARIANT& image);
    HRESULT ClearThumbnail();
    // Cut to 259 characters.
    HRESULT SetCtxAssetUri(LONG context, const char16_t* uri);

private:
    class CStatusLock;
    HRESULT NoBlockError() const;
    template <class Write>
    HRESULT Locked(Write write);

    LONG m_channelIndex;                    // constant
    std::uint8_t* m_statusBlock = nullptr;  // set by Open
    LONG m_lastBadRing = -1;                // to log a refused ring address once
};
