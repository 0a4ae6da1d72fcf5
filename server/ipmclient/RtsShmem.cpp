#include "server/ipmclient/RtsShmem.h"

#include <cstring>
#include <thread>

#include "platform/kernel/FileMapping.h"
#include "server/ipmclient/RtsShmemLayout.h"

namespace {

// Paces a reader's tries while an update is in progress: tight at first,
// then giving up the time slice, then a millisecond apart on the clock;
// false once kRtsUpdateWaitMs have passed on it.
class CUpdateWait {
public:
    explicit CUpdateWait(IClock& clock) : m_clock(clock) {}

    bool Next() {
        ++m_tries;
        if (m_tries <= kRtsReadRetries) {
            return true;
        }
        if (m_tries <= kRtsReadRetries + kRtsReadYields) {
            std::this_thread::yield();
            return true;
        }
        const DWORD now = m_clock.TickCount();
        if (!m_sleeping) {
            m_sleeping = true;
            m_start = now;
        } else if (now - m_start >= kRtsUpdateWaitMs) {
            return false;
        }
        m_clock.SleepMs(1);
        return true;
    }

private:
    IClock& m_clock;
    int m_tries = 0;
    bool m_sleeping = false;
    DWORD m_start = 0;
};

// Runs copy() between two reads of the sequence word and answers true when
// both were equal and even. stalled remembers the update given up on last.
template <class Copy>
bool ReadUnderSequence(const std::atomic<std::uint32_t>& sequence,
                       std::atomic<std::uint32_t>& stalled, IClock& clock, Copy copy) {
    CUpdateWait wait(clock);
    for (;;) {
        const std::uint32_t before = sequence.load(std::memory_order_acquire);
        if ((before & 1u) != 0) {
            if (before == stalled.load(std::memory_order_relaxed)) {
                return false;  // the writer has not moved since a query gave up on it
            }
            if (!wait.Next()) {
                stalled.store(before, std::memory_order_relaxed);
                return false;
            }
            continue;
        }
        copy();
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence.load(std::memory_order_relaxed) == before) {
            // The writer moved on: a later stall is a new one, even should a
            // restarted writer bring the same word round again.
            if (stalled.load(std::memory_order_relaxed) != 0) {
                stalled.store(0, std::memory_order_relaxed);
            }
            return true;
        }
        if (!wait.Next()) {
            return false;
        }
    }
}

bool ValidContext(int context) {
    return context >= 0 && context < kRtsContexts;
}

}  // namespace

// Copies what copy() takes from a channel block under the block's sequence
// word; false when the block is absent or no consistent copy came in time.
template <class Copy>
bool CRtsShmem::ReadChannel(int channel, Copy copy) const {
    if (m_view == nullptr || channel < 0 || channel >= kRtsMaxChannels ||
        m_view->header.magic.load(std::memory_order_acquire) != kRtsShmemMagic) {
        return false;
    }
    const RtsChannelBlock& block = m_view->channels[channel];
    bool present = false;
    return ReadUnderSequence(block.sequence, m_stalledChannel[channel], *m_clock,
                             [&] {
                                 present = block.present == 1;
                                 copy(block);
                             }) &&
           present;
}

// One value of a channel block into *out; FALSE leaves *out untouched.
template <class T, class Get>
BOOL CRtsShmem::ReadValue(int channel, T* out, Get get) const {
    T v{};
    if (out == nullptr ||
        !ReadChannel(channel, [&](const RtsChannelBlock& b) { v = static_cast<T>(get(b)); })) {
        return FALSE;
    }
    *out = v;
    return TRUE;
}

CRtsShmem::~CRtsShmem() {
    Close();
}

BOOL CRtsShmem::Open() {
    if (m_view != nullptr) {
        return TRUE;
    }
    HANDLE mapping = OpenFileMapping(FILE_MAP_READ, FALSE, kRtsShmemName);
    if (mapping == nullptr) {
        return FALSE;
    }
    auto* view = static_cast<const RtsShmemLayout*>(
        MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(RtsShmemLayout)));
    if (view == nullptr || view->header.magic.load(std::memory_order_acquire) != kRtsShmemMagic ||
        view->header.version != kRtsShmemVersion || view->header.size != sizeof(RtsShmemLayout)) {
        if (view != nullptr) {
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
        return FALSE;
    }
    for (auto& stalled : m_stalledChannel) {
        stalled.store(0);
    }
    m_stalledHeader.store(0);
    m_view = view;
    m_mapping = mapping;
    return TRUE;
}

BOOL CRtsShmem::Close() {
    if (m_view == nullptr) {
        return FALSE;
    }
    UnmapViewOfFile(m_view);
    CloseHandle(m_mapping);
    m_view = nullptr;
    m_mapping = nullptr;
    return TRUE;
}

BOOL CRtsShmem::GetTickCount(int channel, unsigned* ticks) const {
    return ReadValue(channel, ticks, [](const RtsChannelBlock& b) { return b.tickCount; });
}

BOOL CRtsShmem::GetGpiInputMask(int channel, unsigned* mask) const {
    return ReadValue(channel, mask, [](const RtsChannelBlock& b) { return b.gpiInputMask; });
}

BOOL CRtsShmem::GetGpiOutputMask(int channel, unsigned* mask) const {
    return ReadValue(channel, mask, [](const RtsChannelBlock& b) { return b.gpiOutputMask; });
}

BOOL CRtsShmem::GetTimeOfDay(unsigned* timeOfDay) const {
    if (timeOfDay == nullptr || m_view == nullptr ||
        m_view->header.magic.load(std::memory_order_acquire) != kRtsShmemMagic) {
        return FALSE;
    }
    unsigned v = 0;
    if (!ReadUnderSequence(m_view->header.sequence, m_stalledHeader, *m_clock,
                           [&] { v = m_view->header.timeOfDay; })) {
        return FALSE;
    }
    *timeOfDay = v;
    return TRUE;
}

BOOL CRtsShmem::GetActiveContext(int channel, long* context) const {
    return ReadValue(channel, context, [](const RtsChannelBlock& b) { return b.activeContext; });
}

BOOL CRtsShmem::IsActiveContext(int channel, int context) const {
    long active = -1;
    return ValidContext(context) && GetActiveContext(channel, &active) && active == context;
}

BOOL CRtsShmem::GetContextStatus(int channel, int context, TmsPortContextStatus* status) const {
    return ValidContext(context) && ReadValue(channel, status, [context](const RtsChannelBlock& b) {
               return b.contexts[context];
           });
}

BOOL CRtsShmem::GetTriggerStatus(int channel, int context,
                                 TmsPortContextTriggerStatus* status) const {
    return ValidContext(context) && ReadValue(channel, status, [context](const RtsChannelBlock& b) {
               return b.contexts[context].triggerStatus;
           });
}

BOOL CRtsShmem::GetPortState(int channel, int context, TmsPortState* state) const {
    return ValidContext(context) && ReadValue(channel, state, [context](const RtsChannelBlock& b) {
               return b.contexts[context].portState;
           });
}

BOOL CRtsShmem::GetIdleMode(int channel, int context, TmsStopMode* mode) const {
    return ValidContext(context) && ReadValue(channel, mode, [context](const RtsChannelBlock& b) {
               return b.contexts[context].idleMode;
           });
}

BOOL CRtsShmem::GetPosition(int channel, int context, int* position) const {
    return ValidContext(context) &&
           ReadValue(channel, position,
                     [context](const RtsChannelBlock& b) { return b.contexts[context].position; });
}

BOOL CRtsShmem::GetAudioStatus(int channel, int audio, TmsAudioStatus* status) const {
    TmsAudioStatus v{};
    bool inRange = false;
    if (!status || audio < 0 || audio >= kRtsMaxAudio ||
        !ReadChannel(channel,
                     [&](const RtsChannelBlock& b) {
                         v = b.audio[audio];
                         inRange = static_cast<unsigned>(audio) < b.audioCount;
                     }) ||
        !inRange)
        return FALSE;
    *status = v;
    return TRUE;
}

BOOL CRtsShmem::GetVideoStatus(int channel, TmsVideoStatus* status) const {
    return ReadValue(channel, status, [](const RtsChannelBlock& b) { return b.video; });
}

BOOL CRtsShmem::GetTimecodeStatus(int channel, TmsTimecodeStatus* status) const {
    return ReadValue(channel, status, [](const RtsChannelBlock& b) { return b.timecode; });
}

BOOL CRtsShmem::GetAncDataStatus(int channel, TmsAncillaryDataStatus* status) const {
    return ReadValue(channel, status, [](const RtsChannelBlock& b) { return b.ancData; });
}
