#include "tmschannel/context/FileCodePool.h"

#include "platform/kernel/CriticalSectionLock.h"
#include "tmschannel/frame/ErrorFrame.h"

#include <algorithm>

CFileCodePool& CFileCodePool::Instance() {
    // A function-local static is built exactly once even when the first file
    // maps are made on several threads at once.
    static CFileCodePool pool;
    return pool;
}

CFileCodePool::CFileCodePool() {
    CCriticalSectionLock lock(m_lock);
    Fill();
}

void CFileCodePool::Fill() {
    m_free.clear();
    m_used.clear();
    for (std::uint16_t c = 1; c <= kCodeCount; ++c) {
        m_free.push_back(c);
    }
}

HRESULT CFileCodePool::Allocate(std::uint16_t* code) {
    CTmsEntryPoint trace("CFileMap::AllocateFileCode");
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_lock);
        *code = 0;
        if (m_free.empty()) {
            TMS_RAISE(trace, E_UNEXPECTED, "Could not allocate file code");
        }
        std::uint16_t c = m_free.front();
        m_free.pop_front();
        m_used.push_back(c);
        *code = c;
    });
}

HRESULT CFileCodePool::Free(std::uint16_t code) {
    CTmsEntryPoint trace("CFileMap::FreeFileCode %d", code);
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_lock);
        auto it = std::find(m_used.begin(), m_used.end(), code);
        if (it == m_used.end()) {
            TMS_RAISE(trace, E_UNEXPECTED,
                      "Could not free file code %d. It may not have been allocated", code);
        }
        m_used.erase(it);
        m_free.push_back(code);
    });
}

std::size_t CFileCodePool::FreeCount() {
    CCriticalSectionLock lock(m_lock);
    return m_free.size();
}

std::size_t CFileCodePool::UsedCount() {
    CCriticalSectionLock lock(m_lock);
    return m_used.size();
}

void CFileCodePool::ResetForTest() {
    CCriticalSectionLock lock(m_lock);
    Fill();
}
