// The status of the channels as JSON, for tmsctl serve: the values tmsctl
// watch prints (ChannelStatusFields), one object per channel, and the watch
// text itself under "text" so that a reader sees every line watch shows,
// also of regions not given fields of their own yet. docs/status.md
// describes the members.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "tools/tmsctl/ChannelSnapshots.h"
#include "tools/tmsctl/ChannelStatusText.h"

namespace tmsctl {

// One channel; snapshot empty when its status memory does not exist.
nlohmann::json ChannelJson(const ChannelSnapshot& channel, unsigned mutexTimeoutMs,
                           const PublisherProbe& probe);
// {"channels": [...]}: every channel given, in order.
nlohmann::json ChannelsJson(const std::vector<ChannelSnapshot>& channels, unsigned mutexTimeoutMs,
                            const PublisherProbe& probe);

}  // namespace tmsctl
