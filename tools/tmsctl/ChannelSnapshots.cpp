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
    for (const auto& view : m_views) {
        auto snapshot = view->Open() ? view->Take(mutexTimeoutMs) : std::nullopt;
        if (m_all && (!snapshot || !HasPublished(snapshot->block))) {
            continue;
        }
        taken.push_back(ChannelSnapshot{view->Channel(), std::move(snapshot)});
    }
    return taken;
}

}  // namespace tmsctl
