// Owns an HMMIO and closes it on destruction.
//
// Thread safety: as the handle it owns (one thread at a time).
#pragma once

#include <utility>

#include "platform/mmio/Mmio.h"

class CMmioHandle {
public:
    CMmioHandle() = default;
    explicit CMmioHandle(HMMIO h) : m_h(h) {}
    ~CMmioHandle() { Close(); }

    CMmioHandle(CMmioHandle&& other) noexcept : m_h(std::exchange(other.m_h, nullptr)) {}
    CMmioHandle& operator=(CMmioHandle&& other) noexcept {
        if (this != &other) {
            Close();
            m_h = std::exchange(other.m_h, nullptr);
        }
        return *this;
    }
    CMmioHandle(const CMmioHandle&) = delete;
    CMmioHandle& operator=(const CMmioHandle&) = delete;

    HMMIO Get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    HMMIO Release() { return std::exchange(m_h, nullptr); }

    // Closes the handle now; returns what mmioClose said (MMSYSERR_NOERROR
    // when there was nothing to close).
    MMRESULT Close() {
        return m_h != nullptr ? mmioClose(std::exchange(m_h, nullptr), 0) : MMSYSERR_NOERROR;
    }

private:
    HMMIO m_h = nullptr;
};
