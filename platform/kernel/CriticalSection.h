// A recursive lock between the threads of one process.
//
// Thread safety: made to be shared; any thread may enter. The thread that
// holds it may enter again and must leave as often as it entered. Leaving a
// section the calling thread does not hold is a programming error and aborts
// with a message (it would corrupt the lock otherwise).
//
// Under clang -Wthread-safety the lock is a capability: members guarded by it
// are declared GUARDED_BY(m_cs) and are checked. The analysis does not model
// re-entry: a helper that runs with the lock held declares REQUIRES(m_cs)
// rather than entering again.
#pragma once

#include "platform/kernel/ThreadAnnotations.h"

#include <atomic>
#include <cstdint>
#include <mutex>

class CAPABILITY("mutex") CCriticalSection {
public:
    CCriticalSection() = default;
    ~CCriticalSection() = default;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() ACQUIRE();
    void Leave() RELEASE();
    // Enters when no other thread holds the section; never blocks.
    bool TryEnter() TRY_ACQUIRE(true);

    // True when the calling thread holds the section (for checks in helpers).
    bool HeldByCurrentThread() const;

private:
    std::recursive_mutex m_mutex;
    // The holder's thread number and its entry count; written by the holder
    // only, read by anyone for HeldByCurrentThread.
    std::atomic<std::uint64_t> m_owner{0};
    std::uint32_t m_depth = 0;
};
