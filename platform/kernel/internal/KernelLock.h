// The one lock that guards the state of every in-process waitable object
// (event flags, mutex owners, thread exit codes) and their waiter lists.
//
// Thread safety: this is the lock. One lock for all objects makes a wait on
// several objects, and a wait for all of them, a single atomic check; every
// section it guards is a few instructions and never blocks or calls out.
// Waiters sleep on their own condition variable, so a signal wakes only the
// threads waiting on that object.
#pragma once

#include "platform/kernel/ThreadAnnotations.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tmskernel {

class CAPABILITY("mutex") CKernelLock {
public:
    constexpr CKernelLock() = default;
    CKernelLock(const CKernelLock&) = delete;
    CKernelLock& operator=(const CKernelLock&) = delete;

    // Holds the lock for a scope; can sleep on a condition variable with it.
    class SCOPED_CAPABILITY Guard {
    public:
        explicit Guard(CKernelLock& lock) ACQUIRE(lock) : m_lock(lock.m_mutex) {}
        ~Guard() RELEASE() {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        // Sleeps until notified or the deadline passes; true when notified
        // (or woken spuriously) before the deadline.
        bool WaitUntil(std::condition_variable& cv,
                       std::chrono::steady_clock::time_point deadline) {
            return cv.wait_until(m_lock, deadline) == std::cv_status::no_timeout;
        }
        void Wait(std::condition_variable& cv) { cv.wait(m_lock); }

    private:
        std::unique_lock<std::mutex> m_lock;
    };

private:
    std::mutex m_mutex;
};

extern CKernelLock g_kernelLock;

}  // namespace tmskernel
