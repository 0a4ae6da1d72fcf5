// CWaitableLock: a lock that a holder can sleep on until another thread
// signals a condition, annotated for clang's thread-safety analysis (the
// standard mutex is not).
//
// Thread safety: made to be shared; not recursive.
#pragma once

#include <chrono>
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
        // The same, but back by deadline at the latest (an absolute wait on
        // the steady clock, not one recomputed from a relative time-out).
        void WaitUntil(std::condition_variable& cv,
                       std::chrono::steady_clock::time_point deadline) {
            cv.wait_until(m_lock, deadline);
        }
        void Unlock() RELEASE() { m_lock.unlock(); }
        void Relock() ACQUIRE() { m_lock.lock(); }

    private:
        std::unique_lock<std::mutex> m_lock;
    };

private:
    std::mutex m_mutex;
};
