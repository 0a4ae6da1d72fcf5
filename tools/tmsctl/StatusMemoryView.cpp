#include "tools/tmsctl/StatusMemoryView.h"

#include <string>
#include <vector>

#include "platform/kernel/FileMapping.h"
#include "platform/kernel/Mutex.h"
#include "platform/kernel/WaitFunctions.h"
#include "server/appserverutil/StatusMemoryLayout.h"

CStatusMemoryView::~CStatusMemoryView() {
    if (m_view != nullptr) {
        UnmapViewOfFile(m_view);
    }
}

bool CStatusMemoryView::Open() {
    if (m_view != nullptr) {
        return true;
    }
    if (m_channel < 0 || m_channel >= statusmem::kMaxChannels) {
        return false;
    }
    CHandle mapping(OpenFileMapping(FILE_MAP_READ, FALSE, statusmem::kMappingName));
    if (!mapping) {
        return false;
    }
    // The block stride is a multiple of the allocation granularity, so one
    // channel's block can be mapped on its own.
    const std::uint64_t offset = static_cast<std::uint64_t>(m_channel) * statusmem::kBlockSize;
    void* view = MapViewOfFile(mapping.Get(), FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                               static_cast<DWORD>(offset), statusmem::kBlockSize);
    if (view == nullptr) {
        return false;
    }
    m_view = static_cast<const std::uint8_t*>(view);
    m_mapping = std::move(mapping);
    m_mutex.Reset(OpenMutex(SYNCHRONIZE, FALSE, statusmem::kMutexName));
    return true;
}

std::optional<CStatusMemoryView::Snapshot> CStatusMemoryView::Take(DWORD mutexTimeoutMs) const {
    if (m_view == nullptr) {
        return std::nullopt;
    }
    bool held = false, consistent = false;
    if (m_mutex) {
        const DWORD rc = WaitForSingleObject(m_mutex.Get(), mutexTimeoutMs);
        // A writer that died mid-publication leaves the block readable, but
        // perhaps half-written.
        held = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
        consistent = rc == WAIT_OBJECT_0;
    }
    std::vector<std::uint8_t> bytes(m_view, m_view + statusmem::kBlockSize);
    if (held) {
        ReleaseMutex(m_mutex.Get());
    }
    return Snapshot{CStatusBlockImage(std::move(bytes)), consistent};
}
