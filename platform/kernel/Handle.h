// Handles to kernel objects (events, mutexes, threads, file mappings, event
// sources) and the owning wrapper CHandle.
//
// Thread safety: every function here may be called from any thread at any
// time. A handle value is only a key: closing it on one thread while another
// thread waits on it is safe (the waiter keeps the object alive until its wait
// ends), and a handle that was closed, or was never ours, is refused with
// ERROR_INVALID_HANDLE instead of touching freed memory. CHandle itself is not
// shared: one owner at a time.
//
// Contract:
// - A HANDLE names one reference to a reference-counted kernel object. The
//   object lives until its last handle is closed and nothing (a running
//   thread, a mapped view, a waiter) uses it any more.
// - Calls that create objects return null on failure (never
//   INVALID_HANDLE_VALUE); INVALID_HANDLE_VALUE is accepted only where a call
//   says so (the paging-file argument of CreateFileMapping).
// - CloseHandle(h) closes h exactly once; a second close of the same value
//   fails with ERROR_INVALID_HANDLE.
#pragma once

#include "platform/kernel/LastError.h"
#include "platform/kernel/WinTypes.h"

#include <cstdint>

using HANDLE = void*;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0)))

// Closes one handle. FALSE with ERROR_INVALID_HANDLE when h is null, invalid or
// already closed.
BOOL CloseHandle(HANDLE h);

// A second handle to the object behind h (to be closed on its own); null with
// ERROR_INVALID_HANDLE when h is not a valid handle.
HANDLE DuplicateHandle(HANDLE h);

// Owns one handle and closes it on destruction. Null and INVALID_HANDLE_VALUE
// both count as empty.
class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE h) : m_handle(h) {}
    ~CHandle() { Reset(); }

    CHandle(CHandle&& other) noexcept : m_handle(other.Release()) {}
    CHandle& operator=(CHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    HANDLE Get() const { return m_handle; }
    bool Valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return Valid(); }

    // Closes the owned handle (when any) and takes h.
    void Reset(HANDLE h = nullptr) {
        HANDLE old = m_handle;
        m_handle = h;
        if (old != nullptr && old != INVALID_HANDLE_VALUE && old != h) {
            CloseHandle(old);
        }
    }

    // Gives up ownership without closing.
    HANDLE Release() {
        HANDLE h = m_handle;
        m_handle = nullptr;
        return h;
    }

private:
    HANDLE m_handle = nullptr;
};
