#include "platform/kernel/CriticalSection.h"

#include "platform/kernel/internal/KernelObject.h"

#include <cstdio>
#include <cstdlib>

void CCriticalSection::Enter() {
    m_mutex.lock();
    m_owner.store(tmskernel::CurrentThreadId(), std::memory_order_relaxed);
    ++m_depth;
}

bool CCriticalSection::TryEnter() {
    if (!m_mutex.try_lock()) {
        return false;
    }
    m_owner.store(tmskernel::CurrentThreadId(), std::memory_order_relaxed);
    ++m_depth;
    return true;
}

void CCriticalSection::Leave() {
    if (!HeldByCurrentThread()) {
        std::fprintf(stderr, "tms: CCriticalSection::Leave by a thread that does not hold it\n");
        std::abort();
    }
    if (--m_depth == 0) {
        m_owner.store(0, std::memory_order_relaxed);
    }
    m_mutex.unlock();
}

bool CCriticalSection::HeldByCurrentThread() const {
    return m_owner.load(std::memory_order_relaxed) == tmskernel::CurrentThreadId();
}
