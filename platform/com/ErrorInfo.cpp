#include "platform/com/ErrorInfo.h"

#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Utf.h"
#include "platform/kernel/ThreadAnnotations.h"

#include <mutex>
#include <string>

namespace {

class CAPABILITY("mutex") FieldLock {
public:
    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

class SCOPED_CAPABILITY FieldGuard {
public:
    explicit FieldGuard(FieldLock& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.Lock(); }
    ~FieldGuard() RELEASE() { m_lock.Unlock(); }
    FieldGuard(const FieldGuard&) = delete;
    FieldGuard& operator=(const FieldGuard&) = delete;

private:
    FieldLock& m_lock;
};

HRESULT CopyText(const std::u16string& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (text.empty()) {
        return S_OK;
    }
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT StoreText(LPCOLESTR text, std::u16string* field) {
    try {
        field->assign(text == nullptr ? u"" : text);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// The error object CreateErrorInfo hands out.
class CErrorInfo final : public CComObjectBase<IErrorInfo, ICreateErrorInfo> {
public:
    HRESULT GetGUID(GUID* guid) override {
        if (guid == nullptr) {
            return E_POINTER;
        }
        FieldGuard guard(m_lock);
        *guid = m_guid;
        return S_OK;
    }
    HRESULT GetSource(BSTR* source) override {
        FieldGuard guard(m_lock);
        return CopyText(m_source, source);
    }
    HRESULT GetDescription(BSTR* description) override {
        FieldGuard guard(m_lock);
        return CopyText(m_description, description);
    }
    HRESULT GetHelpFile(BSTR* helpFile) override {
        FieldGuard guard(m_lock);
        return CopyText(m_helpFile, helpFile);
    }
    HRESULT GetHelpContext(DWORD* helpContext) override {
        if (helpContext == nullptr) {
            return E_POINTER;
        }
        FieldGuard guard(m_lock);
        *helpContext = m_helpContext;
        return S_OK;
    }

    HRESULT SetGUID(const GUID& guid) override {
        FieldGuard guard(m_lock);
        m_guid = guid;
        return S_OK;
    }
    HRESULT SetSource(LPCOLESTR source) override {
        FieldGuard guard(m_lock);
        return StoreText(source, &m_source);
    }
    HRESULT SetDescription(LPCOLESTR description) override {
        FieldGuard guard(m_lock);
        return StoreText(description, &m_description);
    }
    HRESULT SetHelpFile(LPCOLESTR helpFile) override {
        FieldGuard guard(m_lock);
        return StoreText(helpFile, &m_helpFile);
    }
    HRESULT SetHelpContext(DWORD helpContext) override {
        FieldGuard guard(m_lock);
        m_helpContext = helpContext;
        return S_OK;
    }

private:
    FieldLock m_lock;
    // guarded by m_lock
    GUID m_guid GUARDED_BY(m_lock) = GUID_NULL;
    std::u16string m_source GUARDED_BY(m_lock);
    std::u16string m_description GUARDED_BY(m_lock);
    std::u16string m_helpFile GUARDED_BY(m_lock);
    DWORD m_helpContext GUARDED_BY(m_lock) = 0;
};

// The calling thread's error info; released when the thread ends.
thread_local CComPtr<IErrorInfo> t_errorInfo;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    try {
        CComPtr<ICreateErrorInfo> object = MakeComObject<CErrorInfo>();
        *out = object.Detach();
    } catch (const _com_error& e) {
        return e.Error();
    }
    return S_OK;
}

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
    if (reserved != 0) {
        return E_INVALIDARG;
    }
    t_errorInfo = info;
    return S_OK;
}

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (reserved != 0) {
        return E_INVALIDARG;
    }
    *out = t_errorInfo.Detach();
    return *out == nullptr ? S_FALSE : S_OK;
}

HRESULT ReportErrorInfo(HRESULT hr, const IID& iid, std::string_view source,
                        std::string_view description) {
    CComPtr<ICreateErrorInfo> create;
    CComPtr<IErrorInfo> info;
    try {
        if (SUCCEEDED(CreateErrorInfo(&create)) && SUCCEEDED(create->SetGUID(iid)) &&
            SUCCEEDED(create->SetSource(Utf8ToUtf16(source).c_str())) &&
            SUCCEEDED(create->SetDescription(Utf8ToUtf16(description).c_str()))) {
            info = create.QueryInterface<IErrorInfo>();
        }
    } catch (const std::bad_alloc&) {
        info = nullptr;
    } catch (const _com_error&) {
        info = nullptr;
    }
    SetErrorInfo(0, info);
    return hr;
}
