// Mutexes in the manner of the Win32 kernel: owned by a thread, recursive,
// waited for with the wait functions and given back with ReleaseMutex.
//
// Thread safety: every call may be made from any thread. Ownership belongs to
// the thread that acquired the mutex: only it may release it, and it must
// release as often as it acquired.
//
// Contract:
// - CreateMutex(sa, initialOwner, name): sa is ignored. With a null or empty
//   name the mutex is private to this process. With a name it is shared with
//   every process of the same runtime folder that uses that name (the name
//   goes through RuntimeObjectName). Exactly one caller creates it, even when
//   several processes try at once: that caller gets ERROR_SUCCESS and, with
//   initialOwner, owns it from the start; every other caller gets
//   ERROR_ALREADY_EXISTS, a handle to the same mutex, and no ownership.
//   A name already used by a file mapping fails with ERROR_INVALID_HANDLE.
// - OpenMutex(access, inherit, name) opens an existing named mutex only
//   (ERROR_FILE_NOT_FOUND when there is none); access and inherit are
//   ignored.
// - When the owner ends (its thread or its process) without releasing, the
//   mutex is abandoned: the next wait that acquires it returns WAIT_ABANDONED
//   (+ index) and owns it, and the mutex then works as before. What it guarded
//   may be half-written.
// - ReleaseMutex fails with ERROR_NOT_OWNER when the calling thread does not
//   own the mutex.
// - A named mutex lives on in the system after every process closed it (as a
//   POSIX shared-memory object); UnlinkNamedObject removes it.
#pragma once

#include "platform/kernel/Handle.h"

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;

HANDLE CreateMutex(void* securityAttributes, BOOL initialOwner, const char* name);
HANDLE OpenMutex(DWORD desiredAccess, BOOL inheritHandle, const char* name);
BOOL ReleaseMutex(HANDLE mutex);
