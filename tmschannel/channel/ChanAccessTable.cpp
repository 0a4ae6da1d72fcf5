#include "tmschannel/channel/ChanAccessTable.h"

#include <mutex>

namespace chan_access_table {

namespace {
std::mutex g_mutex;
CChanAccess* g_entries[kEntries] = {};
}  // namespace

void Set(int channelIndex, CChanAccess* access) {
    if (channelIndex < 0 || channelIndex >= kEntries) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries[channelIndex] = access;
}

void Clear(int channelIndex, const CChanAccess* access) {
    if (channelIndex < 0 || channelIndex >= kEntries) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_entries[channelIndex] == access) {
        g_entries[channelIndex] = nullptr;
    }
}

CChanAccess* Get(int channelIndex) {
    if (channelIndex < 0 || channelIndex >= kEntries) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_entries[channelIndex];
}

void With(int channelIndex, const std::function<void(const CChanAccess*)>& fn) {
    if (channelIndex < 0 || channelIndex >= kEntries) {
        fn(nullptr);
        return;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    fn(g_entries[channelIndex]);
}

}  // namespace chan_access_table
