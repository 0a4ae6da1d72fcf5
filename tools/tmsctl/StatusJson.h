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
#include "tools/tmsctl/OutputsText.h"

namespace tmsctl {

// One channel; snapshot empty when its status memory does not exist, rts
// empty without the RTS memory. A float that is not finite is null.
nlohmann::json ChannelJson(const ChannelSnapshot& channel, const std::optional<RtsOutputs>& rts,
                           unsigned mutexTimeoutMs, const PublisherProbe& probe);
// The channel's outputs from rts when it has published, else none.
std::optional<RtsOutputs> OutputsOf(const ChannelSnapshot& channel, const CRtsOutputsReader& rts);
// {"channels": [...]}: every channel given, in order, each with its outputs
// read once from rts.
nlohmann::json ChannelsJson(const std::vector<ChannelSnapshot>& channels,
                            const CRtsOutputsReader& rts, unsigned mutexTimeoutMs,
                            const PublisherProbe& probe);

}  // namespace tmsctl
