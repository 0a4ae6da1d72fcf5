#include "platform/kernel/SignalFlags.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace {

// Sleeps while the word still reads expected, until woken or the absolute
// CLOCK_MONOTONIC deadline (null: none). Spurious returns are harmless: the
// caller checks again.
void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* deadline) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE,
              expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

timespec DeadlineAfter(DWORD ms) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    timespec at{};
    at.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000);
    at.tv_nsec = now.tv_nsec + static_cast<long>(ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_nsec -= 1000000000L;
        ++at.tv_sec;
    }
    return at;
}

bool Passed(const timespec& deadline) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace

void CSignalFlags::Raise(std::uint32_t bits) {
    // Both sequentially consistent: see m_sleepers.
    m_word.fetch_or(bits, std::memory_order_seq_cst);
    if (m_sleepers.load(std::memory_order_seq_cst) != 0) {
        WakeAll();
    }
}

void CSignalFlags::WakeAll() {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&m_word), FUTEX_WAKE_PRIVATE, INT_MAX,
              nullptr, nullptr, 0);
}

std::uint32_t CSignalFlags::TryTake(std::uint32_t any, std::uint32_t take) {
    std::uint32_t seen = m_word.load(std::memory_order_acquire);
    while ((seen & any) != 0) {
        const std::uint32_t taken = seen & any & take;
        if (taken == 0 ||
            m_word.compare_exchange_weak(seen, seen & ~taken, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
            return seen & any;
        }
    }
    return 0;
}

std::uint32_t CSignalFlags::Wait(std::uint32_t any, std::uint32_t take, DWORD ms) {
    if (const std::uint32_t got = TryTake(any, take); got != 0 || ms == 0) {
        return got;
    }
    const bool infinite = ms == INFINITE;
    const timespec deadline = infinite ? timespec{} : DeadlineAfter(ms);
    for (;;) {
        m_sleepers.fetch_add(1, std::memory_order_seq_cst);
        const std::uint32_t seen = m_word.load(std::memory_order_seq_cst);
        if ((seen & any) == 0) {
            FutexWait(&m_word, seen, infinite ? nullptr : &deadline);
        }
        m_sleepers.fetch_sub(1, std::memory_order_relaxed);
        if (const std::uint32_t got = TryTake(any, take); got != 0) {
            return got;
        }
        if (!infinite && Passed(deadline)) {
            return 0;
        }
    }
}
