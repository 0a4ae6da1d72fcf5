// CWaitableLock: a lock that a holder can sleep on until another thread
// signals a condition, annotated for clang's thread-safety analysis (the
// standard mutex is not).
//
// Thread safety: made to be shared; not recursive.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/kernel/ThreadAnnotations.h"

class CAPABILITY("mutex") CWaitableLock {
public:
    CWaitableLock() = default;
    CWaitableLock(const CWaitableLock&) = delete;
    CWaitableLock& operator=(const CWaitableLock&) = delete;

    // Holds the lock for a scope; may leave it around a call out.
    class SCOPED_CAPABILITY Guard {
    public:
        explicit Guard(CWaitableLock& lock) ACQUIRE(lock) : m_lock(lock.m_mutex) {}
        ~Guard() RELEASE() {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        // Leaves the lock until notified (or woken spuriously), then takes it back.
        void Wait(std::condition_variable& cv) { cv.wait(m_lock); }
        void Unlock() RELEASE() { m_lock.unlock(); }
        void Relock() ACQUIRE() { m_lock.lock(); }

    private:
        std::unique_lock<std::mutex> m_lock;
    };

private:
    std::mutex m_mutex;
};
