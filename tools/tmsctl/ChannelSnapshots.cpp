#include "tools/tmsctl/ChannelSnapshots.h"

#include "server/appserverutil/StatusMemoryLayout.h"
#include "tools/tmsctl/ChannelStatusText.h"

namespace tmsctl {

CChannelSnapshots::CChannelSnapshots(int channel) : m_all(channel < 0) {
    const int first = m_all ? 0 : channel;
    const int last = m_all ? statusmem::kMaxChannels - 1 : channel;
    for (int c = first; c <= last; ++c) {
        m_views.push_back(std::make_unique<CStatusMemoryView>(c));
    }
}

std::vector<ChannelSnapshot> CChannelSnapshots::Take(unsigned mutexTimeoutMs) {
    std::vector<ChannelSnapshot> taken;
    // One mutex guards every block: when a writer kept it past the wait,
    // the other channels are copied without waiting again, so that a
    // stalled writer costs one wait per reading, not one per channel.
    DWORD wait = mutexTimeoutMs;
    for (const auto& view : m_views) {
        auto snapshot = view->Open() ? view->Take(wait) : std::nullopt;
        if (snapshot && !snapshot->consistent) {
            wait = 0;
        }
        if (m_all && (!snapshot || !HasPublished(snapshot->block))) {
            continue;
        }
        taken.push_back(ChannelSnapshot{view->Channel(), std::move(snapshot)});
    }
    return taken;
}

}  // namespace tmsctl
