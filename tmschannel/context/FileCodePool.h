// The process-wide pool of media file codes. The RTS knows each open media
// file by a 16-bit code; no two open files of the process, on any channel,
// carry the same one. Codes are handed out first in, first out, so a freed
// code comes back only after every code that was free before it.
//
// Thread safety: every operation takes the pool's one lock; callable from any
// thread. The pool is filled exactly once, by whichever thread first needs it.
#pragma once

#include "platform/com/HResult.h"
#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/ThreadAnnotations.h"

#include <cstdint>
#include <deque>

class CFileCodePool {
public:
    static constexpr std::uint16_t kCodeCount = 1000;

    // The one pool of the process.
    static CFileCodePool& Instance();

    // Out code 0 and 0x8000ffff "Could not allocate file code" when none is free.
    HRESULT Allocate(std::uint16_t* code);
    // 0x8000ffff "Could not free file code %d. ..." when the code is not in use.
    HRESULT Free(std::uint16_t code);

    std::size_t FreeCount();
    std::size_t UsedCount();

    // Refills the pool as a fresh process has it. For tests only.
    void ResetForTest();

    CFileCodePool();

private:
    void Fill() REQUIRES(m_lock);

    CCriticalSection m_lock;
    std::deque<std::uint16_t> m_free GUARDED_BY(m_lock);
    std::deque<std::uint16_t> m_used GUARDED_BY(m_lock);
};
