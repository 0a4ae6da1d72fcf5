// The text that tmsctl watch shows for one snapshot of a channel's status
// block: a dozen lines, one per region or record, in a fixed order and
// wording that scripts may grep. A region whose newest cycle number is 0 was
// never published (writers count cycles from 1) and says so in one line.
//
// The publisher line tells a reader whether the values are still being
// published: "live", "stale: no cycle for N s" when the publishing process
// runs but its status cycle stopped (for kStaleAfterMs or more), and
// "publisher gone" when that process no longer exists, so that the frozen
// values below it are not taken for a playing channel.
#pragma once

#include <functional>
#include <string>

#include "platform/kernel/WinTypes.h"
#include "tools/tmsctl/StatusMemoryView.h"

namespace tmsctl {

// A channel publishes every 20 ms; a hundred missed cycles is no hiccup.
inline constexpr DWORD kStaleAfterMs = 2000;

// What the text needs besides the block: the tick count now (GetTickCount,
// the clock of the block's publication tick) and whether a process runs.
struct PublisherProbe {
    DWORD nowTick;
    std::function<bool(int pid)> processRuns;
};
// The real clock and the process table.
PublisherProbe SystemPublisherProbe();
// Whether process pid exists and is not a zombie.
bool ProcessRuns(int pid);

std::string ChannelStatusText(int channel, const CStatusMemoryView::Snapshot& snapshot,
                              unsigned mutexTimeoutMs, const PublisherProbe& probe);
// For a channel whose status memory does not exist, or whose block is blank.
std::string NothingPublishedText(int channel);
// Whether the channel is publishing, or its publisher died doing so: a
// publisher is recorded or the channel ring holds a cycle. A channel that
// closed (or only read its configuration) has neither.
bool HasPublished(const CStatusBlockImage& block);
// When no channel was named and none has published.
std::string NoChannelPublishedText();
// One snapshot of the channel as tmsctl watch --once prints it; channel -1:
// every channel that has published.
std::string ChannelSnapshotText(int channel);

}  // namespace tmsctl
