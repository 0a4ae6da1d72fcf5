// Waiting for events, mutexes and threads.
//
// Thread safety: any thread may wait, on any objects, at the same time as
// other threads wait on or signal the same objects. A handle closed by another
// thread during a wait stays usable by that wait until it returns.
//
// Contract:
// - WaitForSingleObject(h, ms) and WaitForMultipleObjects(count, handles,
//   waitAll, ms) return WAIT_OBJECT_0 + i when object i was signalled (or, for
//   waitAll, when all were), WAIT_ABANDONED + i when the acquired object i is a
//   mutex whose owner ended without releasing it, WAIT_TIMEOUT when ms passed
//   first, and WAIT_FAILED with the last error set otherwise:
//   ERROR_INVALID_HANDLE for a null, closed or non-waitable handle,
//   ERROR_INVALID_PARAMETER for count 0, count > MAXIMUM_WAIT_OBJECTS, a null
//   array, or the same object twice in a wait for all.
// - ms 0 tests and returns at once; INFINITE never times out.
// - What a successful wait takes: an auto-reset event is reset, a mutex is
//   acquired (once more, when the caller owns it already), a manual-reset
//   event and a thread stay as they are. Waiting for any: when several are
//   signalled, the lowest index wins and only that object is taken. Waiting
//   for all: nothing is taken until all are signalled at one moment, then all
//   are taken together.
// - In-process objects wake their waiters directly (no polling). A named
//   mutex waited on alone blocks in the system; in a wait on several objects
//   it is re-tried every millisecond.
#pragma once

#include "platform/kernel/Handle.h"

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_ABANDONED_0 = WAIT_ABANDONED;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

DWORD WaitForSingleObject(HANDLE handle, DWORD ms);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);
