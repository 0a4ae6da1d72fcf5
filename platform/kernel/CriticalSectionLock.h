// Holds a CCriticalSection for a scope.
//
// Thread safety: a guard belongs to the thread that made it; it is not shared.
// Unlock() and Relock() let a scope leave the section around a call that must
// not run under it (an outside component, a wait for another thread) and take
// it back; the destructor leaves only when the guard holds the section.
#pragma once

#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/ThreadAnnotations.h"

class SCOPED_CAPABILITY CCriticalSectionLock {
public:
    explicit CCriticalSectionLock(CCriticalSection& cs) ACQUIRE(cs) : m_cs(cs) { m_cs.Enter(); }
    ~CCriticalSectionLock() RELEASE() {
        if (m_locked) {
            m_cs.Leave();
        }
    }
    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

    void Unlock() RELEASE() {
        if (m_locked) {
            m_locked = false;
            m_cs.Leave();
        }
    }
    void Relock() ACQUIRE() {
        if (!m_locked) {
            m_cs.Enter();
            m_locked = true;
        }
    }

private:
    CCriticalSection& m_cs;
    bool m_locked = true;
};
