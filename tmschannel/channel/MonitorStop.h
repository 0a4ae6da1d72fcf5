// CMonitorStop: how Close ends the status monitor. The monitor sleeps to
// each cycle's deadline here in one absolute wait on the schedule's clock,
// as a plain sleep would (a relative time-out in whole milliseconds and a
// second sleep for the rest woke it twice a cycle and later), and Stop
// wakes it at once.
//
// Thread safety: Stop and Reset from any thread; WaitUntil from the
// monitor thread.
#pragma once

#include <chrono>
#include <condition_variable>

#include "platform/kernel/WaitableLock.h"

class CMonitorStop {
public:
    // Sleeps until deadline or Stop; true when stopped.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
        CWaitableLock::Guard guard(m_lock);
        while (!m_stopped && std::chrono::steady_clock::now() < deadline) {
            guard.WaitUntil(m_wake, deadline);
        }
        return m_stopped;
    }
    void Stop() {
        {
            CWaitableLock::Guard guard(m_lock);
            m_stopped = true;
        }
        m_wake.notify_all();
    }
    // Before a monitor starts.
    void Reset() {
        CWaitableLock::Guard guard(m_lock);
        m_stopped = false;
    }

private:
    CWaitableLock m_lock;
    std::condition_variable m_wake;
    bool m_stopped GUARDED_BY(m_lock) = false;
};
