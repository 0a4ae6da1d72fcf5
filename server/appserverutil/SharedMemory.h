// CSharedMemory: a named paging-file mapping guarded by a named mutex, shared
// by every process of the runtime folder. Base of the status memory views.
//
// Open: fails (FALSE) when the size is 0 or the mapping name empty. An empty
// mutex name becomes the mapping name + "Mutex". The mutex is created owned,
// the size rounded up to (size / granularity + 1) x granularity, the mapping
// created (created = it did not exist before), the view mapped, a created
// view zero-filled, and the mutex released; valid = the view is mapped.
// Close unmaps and closes what is there.
//
// Thread safety: Open and Close by the owner; the mapped memory is guarded by
// the mutex, which callers wait on for at most statusmem::kMutexTimeoutMs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/kernel/Handle.h"

class CSharedMemory {
public:
    CSharedMemory(std::uint32_t size, std::string mappingName, std::string mutexName = {});
    virtual ~CSharedMemory();
    CSharedMemory(const CSharedMemory&) = delete;
    CSharedMemory& operator=(const CSharedMemory&) = delete;

    virtual BOOL Open(BOOL* created);
    virtual void Close();

    bool IsValid() const { return m_valid; }
    HANDLE MutexHandle() const { return m_mutex; }
    std::uint8_t* View() const { return m_view; }
    std::uint32_t Size() const { return m_size; }

protected:
    std::uint32_t m_size;       // bytes asked for; rounded up by Open
    std::string m_mappingName;  // constant
    std::string m_mutexName;    // set by Open when empty
    HANDLE m_mutex = nullptr;
    HANDLE m_mapping = nullptr;
    std::uint8_t* m_view = nullptr;
    bool m_valid = false;
};
