// Shared memory in the manner of Win32 paging-file mappings.
//
// Thread safety: every call may be made from any thread. What the memory
// holds is the callers' business: guard it (a named mutex between processes).
//
// Contract:
// - CreateFileMapping(file, sa, protect, sizeHigh, sizeLow, name): file must
//   be INVALID_HANDLE_VALUE (memory backed by the system, not a file; anything
//   else fails with ERROR_NOT_SUPPORTED), protect PAGE_READWRITE, the size
//   not 0 (ERROR_INVALID_PARAMETER). With a null or empty name the memory is
//   private to this process. With a name it is shared with every process of
//   the same runtime folder (through RuntimeObjectName); exactly one caller
//   creates it, even when several processes try at once, and gets
//   ERROR_SUCCESS; the others get ERROR_ALREADY_EXISTS. New memory reads
//   zero. An existing mapping keeps its size, or grows to a larger size asked
//   for (it never shrinks: others may use the whole of it). A name used by a
//   named mutex fails with ERROR_INVALID_HANDLE.
// - OpenFileMapping(access, inherit, name) opens an existing named mapping
//   (ERROR_FILE_NOT_FOUND when there is none).
// - MapViewOfFile(mapping, access, offHigh, offLow, bytes): bytes 0 maps from
//   the offset to the end. The offset must be a multiple of the allocation
//   granularity (ERROR_MAPPED_ALIGNMENT); offset + bytes beyond the mapping
//   fails with ERROR_INVALID_PARAMETER. A view stays valid after the mapping
//   handle is closed, until UnmapViewOfFile with its base address.
// - A named mapping lives on in the system after every process closed it;
//   UnlinkNamedObject (NamedObjects.h) removes it.
#pragma once

#include "platform/kernel/Handle.h"

#include <cstddef>

constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;

constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;

struct SYSTEM_INFO {
    DWORD dwPageSize;
    void* lpMinimumApplicationAddress;
    void* lpMaximumApplicationAddress;
    std::size_t dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};

// Page size 4096 and allocation granularity 65536 (the sizes mappings are
// rounded to by their users), the number of online processors.
void GetSystemInfo(SYSTEM_INFO* info);

HANDLE CreateFileMapping(HANDLE file, void* securityAttributes, DWORD protect, DWORD sizeHigh,
                         DWORD sizeLow, const char* name);
HANDLE OpenFileMapping(DWORD desiredAccess, BOOL inheritHandle, const char* name);
void* MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                    std::size_t bytes);
// FALSE with ERROR_INVALID_ADDRESS when base is not the start of a view.
BOOL UnmapViewOfFile(const void* base);
