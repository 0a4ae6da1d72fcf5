// CSignalFlags: up to 32 flags that threads of this process raise and wait
// for, without a handle, the kernel lock or a system call on the way when
// nobody sleeps. It is the hand-over of a request and its answer between two
// threads that take turns: an Event costs a handle-table lookup and the one
// process-wide kernel lock on every set and every wait, and a wake of a
// sleeping thread besides.
//
// Thread safety: every call may be made from any thread at any time, by any
// number of raisers and waiters. What a thread wrote before Raise is visible
// to the thread whose Wait (or Peek) sees the raised flag.
//
// Contract:
// - Raise(bits) sets the bits. It makes a system call only when a thread
//   sleeps in Wait on these flags, and then wakes every sleeper (each checks
//   again, so a flag it takes still goes to one of them).
// - Wait(any, take, ms) returns at once, or when one of the bits of any is
//   set, the raised bits of any; it clears those of them that are also in
//   take, atomically with seeing them (an auto-reset flag goes to exactly
//   one waiter; bits outside take stay set, as a manual-reset flag). It
//   returns 0 when ms milliseconds passed first (INFINITE: never; 0: test
//   only). any must not be 0.
// - Peek() reads the flags without waiting or taking (for a bounded spin
//   before a Wait).
// - Clear(bits) clears bits whoever raised them.
#pragma once

#include "platform/kernel/WinTypes.h"

#include <atomic>
#include <cstdint>

class CSignalFlags {
public:
    CSignalFlags() = default;
    CSignalFlags(const CSignalFlags&) = delete;
    CSignalFlags& operator=(const CSignalFlags&) = delete;

    void Raise(std::uint32_t bits);
    std::uint32_t Wait(std::uint32_t any, std::uint32_t take, DWORD ms);
    std::uint32_t Peek() const { return m_word.load(std::memory_order_acquire); }
    void Clear(std::uint32_t bits) { m_word.fetch_and(~bits, std::memory_order_acq_rel); }

private:
    // Takes the bits of any that are set (clearing those in take); 0 when
    // none is.
    std::uint32_t TryTake(std::uint32_t any, std::uint32_t take);
    void WakeAll();

    // The flags; also the futex word sleepers wait on.
    std::atomic<std::uint32_t> m_word{0};
    // Threads between announcing a sleep and returning from it. Raise and a
    // sleeper order their accesses to the two words so that at least one of
    // them sees the other: a raise is never missed by a sleeper.
    std::atomic<std::uint32_t> m_sleepers{0};
};
