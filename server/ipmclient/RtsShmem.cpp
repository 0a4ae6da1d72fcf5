#include "server/ipmclient/RtsShmem.h"

#include <cstring>

#include "platform/kernel/FileMapping.h"
#include "server/ipmclient/RtsShmemLayout.h"

namespace {

// Copies what copy() takes from a channel block under the block's sequence
// word; false when the block is absent or kept changing.
template <class Copy>
bool ReadChannel(const RtsShmemLayout* view, int channel, Copy copy) {
    if (view == nullptr || channel < 0 || channel >= kRtsMaxChannels ||
        view->header.magic.load(std::memory_order_acquire) != kRtsShmemMagic) {
        return false;
    }
    const RtsChannelBlock& block = view->channels[channel];
    for (int attempt = 0; attempt < kRtsReadRetries; ++attempt) {
        const std::uint32_t before = block.sequence.load(std::memory_order_acquire);
        if ((before & 1u) != 0) {
            continue;
        }
        const bool present = block.present == 1;
        copy(block);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (block.sequence.load(std::memory_order_relaxed) == before) {
            return present;
        }
    }
    return false;
}

bool ValidContext(int context) {
    return context >= 0 && context < kRtsContexts;
}

// One value of a channel block into *out; FALSE leaves *out untouched.
template <class T, class Get>
BOOL ReadValue(const RtsShmemLayout* view, int channel, T* out, Get get) {
    T v{};
    if (out == nullptr || !ReadChannel(view, channel, [&](const RtsChannelBlock& b) {
            v = static_cast<T>(get(b));
        })) {
        return FALSE;
    }
    *out = v;
    return TRUE;
}

}  // namespace

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
    return ReadValue(m_view, channel, ticks, [](const RtsChannelBlock& b) { return b.tickCount; });
}

BOOL CRtsShmem::GetGpiInputMask(int channel, unsigned* mask) const {
    return ReadValue(m_view, channel, mask,
                     [](const RtsChannelBlock& b) { return b.gpiInputMask; });
}

BOOL CRtsShmem::GetGpiOutputMask(int channel, unsigned* mask) const {
    return ReadValue(m_view, channel, mask,
                     [](const RtsChannelBlock& b) { return b.gpiOutputMask; });
}

BOOL CRtsShmem::GetTimeOfDay(unsigned* timeOfDay) const {
    if (timeOfDay == nullptr || m_view == nullptr ||
        m_view->header.magic.load(std::memory_order_acquire) != kRtsShmemMagic) {
        return FALSE;
    }
    const auto& seq = m_view->header.sequence;
    for (int attempt = 0; attempt < kRtsReadRetries; ++attempt) {
        const std::uint32_t before = seq.load(std::memory_order_acquire);
        if ((before & 1u) != 0) {
            continue;
        }
        const unsigned v = m_view->header.timeOfDay;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq.load(std::memory_order_relaxed) == before) {
            *timeOfDay = v;
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CRtsShmem::GetActiveContext(int channel, long* context) const {
    return ReadValue(m_view, channel, context,
                     [](const RtsChannelBlock& b) { return b.activeContext; });
}

BOOL CRtsShmem::IsActiveContext(int channel, int context) const {
    long active = -1;
    return ValidContext(context) && GetActiveContext(channel, &active) && active == context;
}

BOOL CRtsShmem::GetContextStatus(int channel, int context, TmsPortContextStatus* status) const {
    return ValidContext(context) &&
           ReadValue(m_view, channel, status,
                     [context](const RtsChannelBlock& b) { return b.contexts[context]; });
}

BOOL CRtsShmem::GetTriggerStatus(int channel, int context,
                                 TmsPortContextTriggerStatus* status) const {
    return ValidContext(context) &&
           ReadValue(m_view, channel, status, [context](const RtsChannelBlock& b) {
               return b.contexts[context].triggerStatus;
           });
}

BOOL CRtsShmem::GetPortState(int channel, int context, TmsPortState* state) const {
    return ValidContext(context) &&
           ReadValue(m_view, channel, state,
                     [context](const RtsChannelBlock& b) { return b.contexts[context].portState; });
}

BOOL CRtsShmem::GetIdleMode(int channel, int context, TmsStopMode* mode) const {
    return ValidContext(context) &&
           ReadValue(m_view, channel, mode,
                     [context](const RtsChannelBlock& b) { return b.contexts[context].idleMode; });
}

BOOL CRtsShmem::GetPosition(int channel, int context, int* position) const {
    return ValidContext(context) &&
           ReadValue(m_view, channel, position,
                     [context](const RtsChannelBlock& b) { return b.contexts[context].position; });
}

BOOL CRtsShmem::GetAudioStatus(int channel, int audio, TmsAudioStatus* status) const {
    TmsAudioStatus v{};
    bool inRange = false;
    if (!status || audio < 0 || audio >= kRtsMaxAudio ||
        !ReadChannel(m_view, channel,
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
    return ReadValue(m_view, channel, status, [](const RtsChannelBlock& b) { return b.video; });
}

BOOL CRtsShmem::GetTimecodeStatus(int channel, TmsTimecodeStatus* status) const {
    return ReadValue(m_view, channel, status, [](const RtsChannelBlock& b) { return b.timecode; });
}

BOOL CRtsShmem::GetAncDataStatus(int channel, TmsAncillaryDataStatus* status) const {
    return ReadValue(m_view, channel, status, [](const RtsChannelBlock& b) { return b.ancData; });
}
