// The process-wide table of the channel access objects of channels 0 to 3,
// by channel index: configuration enters a channel's object when it creates
// it, Close removes it, and channel properties read other channels' entries.
// A channel with another index has no entry.
//
// Thread safety: all functions may be called from any thread at once.
#pragma once

class CChanAccess;

namespace chan_access_table {
constexpr int kEntries = 4;
void Set(int channelIndex, CChanAccess* access);
// Clears the entry only while it still holds access.
void Clear(int channelIndex, const CChanAccess* access);
CChanAccess* Get(int channelIndex);
}  // namespace chan_access_table
