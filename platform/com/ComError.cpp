#include "platform/com/ComError.h"

#include "platform/com/Bstr.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/ISupportErrorInfo.h"
#include "platform/com/SystemErrorText.h"
#include "platform/com/Utf.h"

#include <cstdio>
#include <utility>

namespace {

// Codes of the interface facility from here on are the automation errors
// of a dispatch interface, numbered from this base.
constexpr std::uint32_t kDispatchErrorBase = 0x80040200u;
constexpr std::uint32_t kDispatchErrorLast = 0x8004FFFFu;

std::string TakeText(HRESULT (IErrorInfo::*get)(BSTR*), IErrorInfo* info) {
    if (info == nullptr) {
        return {};
    }
    CBstr text;
    if (FAILED((info->*get)(&text))) {
        return {};
    }
    return text.ToUtf8();
}

}  // namespace

_com_error::_com_error(HRESULT hr, IErrorInfo* info, bool addRef) noexcept
    : m_hr(hr), m_info(info) {
    if (m_info != nullptr && addRef) {
        m_info->AddRef();
    }
}

_com_error::_com_error(const _com_error& other) noexcept
    : _com_error(other.m_hr, other.m_info, true) {}

_com_error::_com_error(_com_error&& other) noexcept
    : m_hr(other.m_hr), m_info(std::exchange(other.m_info, nullptr)) {}

_com_error& _com_error::operator=(const _com_error& other) noexcept {
    if (this != &other) {
        if (other.m_info != nullptr) {
            other.m_info->AddRef();
        }
        if (m_info != nullptr) {
            m_info->Release();
        }
        m_hr = other.m_hr;
        m_info = other.m_info;
    }
    return *this;
}

_com_error& _com_error::operator=(_com_error&& other) noexcept {
    if (this != &other) {
        if (m_info != nullptr) {
            m_info->Release();
        }
        m_hr = other.m_hr;
        m_info = std::exchange(other.m_info, nullptr);
    }
    return *this;
}

_com_error::~_com_error() {
    if (m_info != nullptr) {
        m_info->Release();
    }
}

std::string _com_error::ErrorMessage() const {
    std::string text;
    if (GetSystemErrorText(m_hr, &text)) {
        return text;
    }
    const auto code = static_cast<std::uint32_t>(m_hr);
    char buffer[48];
    if (code >= kDispatchErrorBase && code <= kDispatchErrorLast) {
        std::snprintf(buffer, sizeof(buffer), "IDispatch error #%d",
                      static_cast<int>(code - kDispatchErrorBase));
    } else {
        std::snprintf(buffer, sizeof(buffer), "Unknown error 0x%0lX",
                      static_cast<unsigned long>(code));
    }
    return buffer;
}

std::string _com_error::Description() const {
    return TakeText(&IErrorInfo::GetDescription, m_info);
}

std::string _com_error::Source() const {
    return TakeText(&IErrorInfo::GetSource, m_info);
}

GUID _com_error::Guid() const {
    GUID guid = GUID_NULL;
    if (m_info == nullptr || FAILED(m_info->GetGUID(&guid))) {
        return GUID_NULL;
    }
    return guid;
}

IErrorInfo* _com_error::ErrorInfo() const noexcept {
    if (m_info != nullptr) {
        m_info->AddRef();
    }
    return m_info;
}

void _com_issue_error(HRESULT hr) {
    throw _com_error(hr);
}

void _com_issue_errorex(HRESULT hr, IUnknown* object, const IID& iid) {
    IErrorInfo* info = nullptr;
    if (object != nullptr) {
        ISupportErrorInfo* support = nullptr;
        if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo,
                                             reinterpret_cast<void**>(&support)))) {
            if (support->InterfaceSupportsErrorInfo(iid) == S_OK) {
                GetErrorInfo(0, &info);
            }
            support->Release();
        }
    }
    throw _com_error(hr, info);
}
