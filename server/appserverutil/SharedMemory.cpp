#include "server/appserverutil/SharedMemory.h"

#include <cstring>

#include "platform/kernel/FileMapping.h"
#include "platform/kernel/LastError.h"
#include "platform/kernel/Mutex.h"

CSharedMemory::CSharedMemory(std::uint32_t size, std::string mappingName, std::string mutexName)
    : m_size(size), m_mappingName(std::move(mappingName)), m_mutexName(std::move(mutexName)) {}

CSharedMemory::~CSharedMemory() {
    Close();
}

BOOL CSharedMemory::Open(BOOL* created) {
    if (created)
        *created = FALSE;
    if (m_size == 0 || m_mappingName.empty()) {
        return FALSE;
    }
    if (m_view != nullptr) {
        return TRUE;
    }
    if (m_mutexName.empty()) {
        m_mutexName = m_mappingName + "Mutex";
    }
    m_mutex = CreateMutex(nullptr, TRUE, m_mutexName.c_str());
    if (m_mutex == nullptr) {
        return FALSE;
    }
    // Only the creator of the mutex owns it now; it fills the new memory
    // before anyone else can take the mutex.
    const bool ownsMutex = GetLastError() != ERROR_ALREADY_EXISTS;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::uint64_t size =
        (static_cast<std::uint64_t>(m_size) / info.dwAllocationGranularity + 1) *
        info.dwAllocationGranularity;
    m_mapping = CreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(size >> 32), static_cast<DWORD>(size),
                                  m_mappingName.c_str());
    const bool isNew = m_mapping != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    if (m_mapping != nullptr) {
        m_view = static_cast<std::uint8_t*>(MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    if (m_view != nullptr && isNew) {
        std::memset(m_view, 0, size);
    }
    m_valid = m_view != nullptr;
    if (created)
        *created = isNew ? TRUE : FALSE;
    if (ownsMutex) {
        ReleaseMutex(m_mutex);
    }
    return m_valid ? TRUE : FALSE;
}

void CSharedMemory::Close() {
    if (m_view != nullptr) {
        UnmapViewOfFile(m_view);
        m_view = nullptr;
    }
    if (m_mapping != nullptr) {
        CloseHandle(m_mapping);
        m_mapping = nullptr;
    }
    if (m_mutex != nullptr) {
        CloseHandle(m_mutex);
        m_mutex = nullptr;
    }
    m_valid = false;
}
