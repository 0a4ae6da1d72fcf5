// The lock count of one in-process server module: live objects, class
// factories and LockServer(TRUE) calls each hold one. DllCanUnloadNow answers
// S_OK only when it is zero, so the library is never closed under a live
// object.
//
// The counter has hidden visibility: every shared library that includes this
// header gets a count of its own, even when a host program (or another
// server) carries the same inline definitions.
//
// Thread safety: all functions may be called from any thread at once (the
// count is atomic).
#pragma once

#include "platform/kernel/WinTypes.h"

#include <atomic>

namespace module_lock_detail {
[[gnu::visibility("hidden")]] inline std::atomic<LONG> g_moduleLocks{0};
}  // namespace module_lock_detail

// Both return the new count, for diagnostics only.
[[gnu::visibility("hidden")]] inline LONG ModuleAddRef() noexcept {
    return module_lock_detail::g_moduleLocks.fetch_add(1, std::memory_order_relaxed) + 1;
}
[[gnu::visibility("hidden")]] inline LONG ModuleRelease() noexcept {
    // acq_rel: an object's last work happens before DllCanUnloadNow sees zero.
    return module_lock_detail::g_moduleLocks.fetch_sub(1, std::memory_order_acq_rel) - 1;
}
[[gnu::visibility("hidden")]] inline LONG ModuleLockCount() noexcept {
    return module_lock_detail::g_moduleLocks.load(std::memory_order_acquire);
}

// Holds one module lock for its lifetime; a server's object classes carry one
// as a member so that every live object keeps the module loaded.
class CModuleLock {
public:
    CModuleLock() noexcept { ModuleAddRef(); }
    ~CModuleLock() { ModuleRelease(); }
    CModuleLock(const CModuleLock&) noexcept { ModuleAddRef(); }
    CModuleLock& operator=(const CModuleLock&) noexcept { return *this; }
};
