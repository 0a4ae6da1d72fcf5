// The text that tmsctl watch shows for one snapshot of a channel's status
// block: a dozen lines, one per region or record, in a fixed order and
// wording that scripts may grep. A region whose newest cycle number is 0 was
// never published (writers count cycles from 1) and says so in one line.
#pragma once

#include <string>

#include "tools/tmsctl/StatusMemoryView.h"

namespace tmsctl {

std::string ChannelStatusText(int channel, const CStatusMemoryView::Snapshot& snapshot,
                              unsigned mutexTimeoutMs);
// For a channel whose status memory does not exist, or whose block is blank.
std::string NothingPublishedText(int channel);
// One snapshot of the channel as tmsctl watch --once prints it.
std::string ChannelSnapshotText(int channel);

}  // namespace tmsctl
