// The process-wide table of the channel access objects of channels 0 to 3,
// by channel index: configuration enters a channel's object when it creates
// it, Close removes it, and channel properties read other channels' entries.
// A channel with another index has no entry.
//
// Thread safety: all functions may be called from any thread at once. An
// entry's status memory lives only until Close removes the entry, so other
// channels read it through With, which holds the table's mutex meanwhile.
#pragma once

#include <functional>

class CChanAccess;

namespace chan_access_table {
constexpr int kEntries = 4;
void Set(int channelIndex, CChanAccess* access);
// Clears the entry only while it still holds access.
void Clear(int channelIndex, const CChanAccess* access);
// The entry as it is now; it may be removed and freed as soon as this
// returns. Only for a caller that keeps the channel open itself.
CChanAccess* Get(int channelIndex);
// Runs fn with the entry (null when there is none) while the table's mutex
// keeps Close from removing and freeing it. fn must not call into the table.
// Lock order: any status-file mutex before the table's mutex.
void With(int channelIndex, const std::function<void(const CChanAccess*)>& fn);
}  // namespace chan_access_table
