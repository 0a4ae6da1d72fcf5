#include "server/ipmclient/RtsShmemWriter.h"

#include <unistd.h>

#include <cstring>

#include "platform/kernel/FileMapping.h"
#include "platform/kernel/LastError.h"
#include "platform/kernel/NamedObjects.h"

CRtsShmemWriter::~CRtsShmemWriter() {
    Destroy();
}

DWORD CRtsShmemWriter::Create(int channelCount) {
    if (m_view != nullptr) {
        return ERROR_ALREADY_EXISTS;
    }
    if (channelCount < 1 || channelCount > kRtsMaxChannels) {
        return ERROR_INVALID_PARAMETER;
    }
    m_mapping = CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  sizeof(RtsShmemLayout), kRtsShmemName);
    if (m_mapping == nullptr) {
        return GetLastError();
    }
    m_view = static_cast<RtsShmemLayout*>(
        MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(RtsShmemLayout)));
    if (m_view == nullptr) {
        DWORD err = GetLastError();
        CloseHandle(m_mapping);
        m_mapping = nullptr;
        return err;
    }
    // A crashed RTS may have left a set-up mapping: readers stop trusting it
    // while it is made anew.
    m_view->header.magic.store(0, std::memory_order_release);
    std::memset(static_cast<void*>(&m_view->channels), 0, sizeof m_view->channels);
    m_view->header.version = kRtsShmemVersion;
    m_view->header.size = sizeof(RtsShmemLayout);
    m_view->header.channelCount = static_cast<std::uint32_t>(channelCount);
    m_view->header.sequence.store(0, std::memory_order_relaxed);
    m_view->header.timeOfDay = 0x80000000u;
    m_view->header.writerPid = static_cast<std::uint32_t>(::getpid());
    for (int c = 0; c < channelCount; ++c) {
        m_view->channels[c].present = 1;
        m_view->channels[c].activeContext = -1;
    }
    m_view->header.magic.store(kRtsShmemMagic, std::memory_order_release);
    return ERROR_SUCCESS;
}

void CRtsShmemWriter::Destroy() {
    if (m_view != nullptr) {
        m_view->header.magic.store(0, std::memory_order_release);
        UnmapViewOfFile(m_view);
        m_view = nullptr;
    }
    if (m_mapping != nullptr) {
        CloseHandle(m_mapping);
        m_mapping = nullptr;
        UnlinkNamedObject(kRtsShmemName);
    }
}

RtsChannelBlock* CRtsShmemWriter::Begin(int channel) {
    if (m_view == nullptr || channel < 0 || channel >= kRtsMaxChannels) {
        return nullptr;
    }
    RtsChannelBlock& block = m_view->channels[channel];
    block.sequence.store(block.sequence.load(std::memory_order_relaxed) + 1,
                         std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    return &block;
}

void CRtsShmemWriter::End(int channel) {
    if (m_view == nullptr || channel < 0 || channel >= kRtsMaxChannels) {
        return;
    }
    RtsChannelBlock& block = m_view->channels[channel];
    block.sequence.store(block.sequence.load(std::memory_order_relaxed) + 1,
                         std::memory_order_release);
}

void CRtsShmemWriter::SetTimeOfDay(unsigned timeOfDay) {
    if (m_view == nullptr) {
        return;
    }
    auto& seq = m_view->header.sequence;
    seq.store(seq.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_view->header.timeOfDay = timeOfDay;
    seq.store(seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}
