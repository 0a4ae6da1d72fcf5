// The channels a status reader shows, as tmsctl watch and tmsctl serve pick
// them: the one channel named (whatever it holds), or every channel that
// publishes or whose publisher died doing so. Each block is mapped on its
// own when first seen and copied under the status mutex on every Take.
//
// Thread safety: one owner; not shared between threads (each HTTP request
// of tmsctl serve takes its own).
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "tools/tmsctl/StatusMemoryView.h"

namespace tmsctl {

struct ChannelSnapshot {
    int channel;
    // Empty when the status memory does not exist (nothing published yet).
    std::optional<CStatusMemoryView::Snapshot> snapshot;
};

class CChannelSnapshots {
public:
    // channel -1: every channel that has published.
    explicit CChannelSnapshots(int channel);

    std::vector<ChannelSnapshot> Take(unsigned mutexTimeoutMs);

private:
    bool m_all;
    std::vector<std::unique_ptr<CStatusMemoryView>> m_views;
};

}  // namespace tmsctl
