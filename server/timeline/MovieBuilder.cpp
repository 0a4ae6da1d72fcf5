#include "server/timeline/MovieBuilder.h"

#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"

HRESULT CMovieBuilder::SetSuite(BSTR suite) {
    std::string text = suite != nullptr ? Utf16ToUtf8(suite) : std::string();
    CCriticalSectionLock lock(m_cs);
    m_suite = std::move(text);
    return S_OK;
}

HRESULT CMovieBuilder::GetSuite(BSTR* suite) {
    if (suite == nullptr) {
        return E_POINTER;
    }
    CCriticalSectionLock lock(m_cs);
    *suite = SysAllocString(Utf8ToUtf16(m_suite).c_str());
    return *suite != nullptr ? S_OK : E_OUTOFMEMORY;
}
