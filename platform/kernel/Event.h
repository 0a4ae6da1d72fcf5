// Events: a flag that threads wait for with the wait functions.
//
// Thread safety: every call may be made from any thread, concurrently with
// waits on the same event.
//
// Contract:
// - CreateEvent(sa, manualReset, initialState, name): sa is ignored. A
//   manual-reset event stays signalled until ResetEvent and releases every
//   waiter; an auto-reset event releases exactly one waiter and is reset by
//   that wait. A non-empty name makes the event shared by all CreateEvent calls
//   of this process (and this runtime folder) with that name: the second call
//   returns a new handle to the same event, ignores its two flags, and sets
//   ERROR_ALREADY_EXISTS; a new event sets ERROR_SUCCESS. Named events are not
//   visible to other processes.
// - SetEvent and ResetEvent fail with ERROR_INVALID_HANDLE for anything but
//   an event handle.
#pragma once

#include "platform/kernel/Handle.h"

HANDLE CreateEvent(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
