// A read-only view of one channel's block in the status memory of the current
// runtime folder, opened as any reader process of the server opens it: the
// existing named mapping and its mutex, never created here, so that a reader
// started before the channel leaves nothing behind.
//
// Snapshot copies the block while holding the status mutex, waiting for it at
// most the given time: a writer holds it only for one publication, and a
// reader that waits longer would stall the display (and never the writer,
// which waits up to 5000 ms). When the mutex cannot be had the copy is taken
// anyway and marked as not consistent; so is a copy taken under a mutex that
// a dying writer left behind.
//
// Thread safety: one owner; not shared between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/kernel/Handle.h"
#include "tools/tmsctl/StatusBlockImage.h"

class CStatusMemoryView {
public:
    struct Snapshot {
        CStatusBlockImage block;
        bool consistent;  // taken under the status mutex, left released by its last holder
    };

    explicit CStatusMemoryView(int channel) : m_channel(channel) {}
    ~CStatusMemoryView();
    CStatusMemoryView(const CStatusMemoryView&) = delete;
    CStatusMemoryView& operator=(const CStatusMemoryView&) = delete;

    // Maps the block when it is not mapped yet; true when it is. A missing
    // status memory is not an error: nothing was published yet.
    bool Open();
    bool IsOpen() const { return m_view != nullptr; }
    int Channel() const { return m_channel; }
    // Empty when the memory is not open.
    std::optional<Snapshot> Take(DWORD mutexTimeoutMs) const;

private:
    int m_channel;
    CHandle m_mapping;
    CHandle m_mutex;
    const std::uint8_t* m_view = nullptr;
};
