// _com_error, the exception a failing COM call, smart pointer or BSTR/VARIANT
// wrapper throws. The error frame catches it, logs ErrorMessage() and returns
// Error() as the operation's HRESULT.
//
// Thread safety: an object is a value owned by one thread; copies may travel
// to other threads (the error-info reference it holds is thread-safe).
#pragma once

#include "platform/com/Guid.h"
#include "platform/com/HResult.h"

#include <string>

struct IErrorInfo;
struct IUnknown;

class _com_error {
public:
    // Takes over the caller's reference on info (as GetErrorInfo hands one
    // out) unless addRef is true, in which case it adds its own.
    explicit _com_error(HRESULT hr, IErrorInfo* info = nullptr, bool addRef = false) noexcept;
    _com_error(const _com_error& other) noexcept;
    _com_error(_com_error&& other) noexcept;
    _com_error& operator=(const _com_error& other) noexcept;
    _com_error& operator=(_com_error&& other) noexcept;
    ~_com_error();

    HRESULT Error() const noexcept { return m_hr; }

    // The system text for the code when there is one; else "IDispatch error
    // #<n>" for 0x80040200..0x8004FFFF with n = code - 0x80040200; else
    // "Unknown error 0x<CODE>" in upper-case hex.
    std::string ErrorMessage() const;

    // The error info's description, source and GUID; empty (GUID_NULL) when
    // there is no error info.
    std::string Description() const;
    std::string Source() const;
    GUID Guid() const;

    // The error info with a reference added for the caller, or null.
    IErrorInfo* ErrorInfo() const noexcept;

private:
    HRESULT m_hr;
    IErrorInfo* m_info;  // owned reference or null
};

// Throws _com_error(hr) without error info.
[[noreturn]] void _com_issue_error(HRESULT hr);

// Throws _com_error(hr) carrying the calling thread's error info when object
// says (ISupportErrorInfo) that interface iid reports error info.
[[noreturn]] void _com_issue_errorex(HRESULT hr, IUnknown* object, const IID& iid);
