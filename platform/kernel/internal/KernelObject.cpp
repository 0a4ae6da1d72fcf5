#include "platform/kernel/internal/KernelObject.h"

#include <algorithm>
#include <atomic>

namespace tmskernel {

CKernelLock g_kernelLock;

std::uint64_t CurrentThreadId() {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

void KernelObject::RemoveWaiter(Waiter* w) {
    auto it = std::find(m_waiters.begin(), m_waiters.end(), w);
    if (it != m_waiters.end()) {
        m_waiters.erase(it);
    }
}

void KernelObject::NotifyWaiters() {
    for (Waiter* w : m_waiters) {
        w->cv.notify_one();
    }
}

}  // namespace tmskernel
