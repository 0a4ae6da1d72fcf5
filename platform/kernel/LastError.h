// The calling thread's last error code and the codes the platform calls set.
//
// Thread safety: the last error is thread-local; each thread sees only the
// codes set by the calls it made itself.
//
// Contract: a platform call that fails returns its failure value (FALSE, null,
// WAIT_FAILED) and sets the last error to one of the codes below. Calls that
// create or open a named object set it on success too: ERROR_ALREADY_EXISTS
// when the object existed, ERROR_SUCCESS when this call created it, so a
// caller can tell the two apart without clearing the code first.
#pragma once

#include "platform/kernel/WinTypes.h"

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_MAPPED_ALIGNMENT = 1132;
constexpr DWORD ERROR_TIMEOUT = 1460;

DWORD GetLastError();
void SetLastError(DWORD error);

// Maps an errno value to the nearest code above (ERROR_ACCESS_DENIED for
// EACCES/EPERM, ERROR_FILE_NOT_FOUND for ENOENT, ...). Used where a system
// call failed.
DWORD LastErrorFromErrno(int err);
