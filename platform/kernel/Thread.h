// Threads of the component: a named thread running one body, with a waitable
// handle, an exit code and a priority.
//
// Thread safety: Start, Join and the destructor belong to the owner of the
// CThread (one thread). Handle, GetExitCode, SetPriority, GetPriority and the
// free functions on the thread's handle may be called from any thread,
// including the started thread itself.
//
// Contract:
// - Start(body, name) runs body on a new thread named name (cut to 15 bytes,
//   the system's limit; keep names like "tms-status-1"). It fails with FALSE
//   and ERROR_INVALID_PARAMETER when the CThread was started before or body
//   is empty, and ERROR_NOT_ENOUGH_MEMORY when the system cannot make a
//   thread.
// - The handle (Handle(), owned by the CThread; close it never) is signalled
//   once the body has returned; wait for it with the wait functions.
//   GetExitCode() / GetExitCodeThread() give STILL_ACTIVE (259) while the
//   body runs and its return value afterwards.
// - An exception that escapes the body never ends the process: it is caught,
//   written to stderr with the thread's name, and the exit code becomes
//   THREAD_EXIT_UNHANDLED_EXCEPTION (0xE0000001).
// - Priorities use the Win32 levels and map to per-thread nice values
//   (IDLE 19, LOWEST 10, BELOW_NORMAL 5, NORMAL 0, ABOVE_NORMAL -5, HIGHEST -10,
//   TIME_CRITICAL -20). A level the process may not take (raising needs
//   privileges on Linux) leaves the thread as it is and reports FALSE with
//   ERROR_ACCESS_DENIED; the thread runs on either way. Start returns once
//   the thread runs, so a priority set right after it applies at once.
// - The destructor waits for the body to return (Join); the owner tells the
//   body to stop (an event) before destroying the CThread. A body that
//   destroys its own CThread does not wait for itself.
#pragma once

#include "platform/kernel/Handle.h"

#include <functional>
#include <memory>
#include <thread>

constexpr DWORD STILL_ACTIVE = 259;
// The exit code of a thread whose body ended by an exception.
constexpr DWORD THREAD_EXIT_UNHANDLED_EXCEPTION = 0xE0000001u;

constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

class CThread {
public:
    CThread();
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    BOOL Start(std::function<DWORD()> body, const char* name);

    // Waits for the body to return; no-op when not started or joined already.
    void Join();

    // The waitable handle; null before Start.
    HANDLE Handle() const { return m_handle.Get(); }

    DWORD GetExitCode() const;
    BOOL SetPriority(int priority);
    int GetPriority() const;

private:
    CHandle m_handle;
    std::thread m_thread;
};

// Work on a thread's handle (the one from CThread::Handle or a duplicate).
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
BOOL SetThreadPriority(HANDLE thread, int priority);
// THREAD_PRIORITY_ERROR_RETURN with ERROR_INVALID_HANDLE for a bad handle.
int GetThreadPriority(HANDLE thread);
