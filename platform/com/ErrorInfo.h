// Rich error information beside an HRESULT, kept per thread as COM keeps it.
// An object that fails a call creates an error object (CreateErrorInfo), fills
// it through ICreateErrorInfo and stores it for the calling thread
// (SetErrorInfo); the caller, told by ISupportErrorInfo that the interface
// reports errors this way, takes it back with GetErrorInfo.
//
// Thread safety: the stored error info is per thread: SetErrorInfo and
// GetErrorInfo on one thread never see another thread's. An error object may
// be read and written from several threads at once (it locks its fields).
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/IUnknown.h"

#include <string_view>

struct IErrorInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("{1CF2B120-547D-101B-8E65-08002B2BD119}");

    // The interface that defined the error (GUID_NULL when not set).
    virtual HRESULT GetGUID(GUID* guid) = 0;
    // Each hands the caller a new BSTR (null when the text is empty).
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* helpContext) = 0;

protected:
    ~IErrorInfo() override = default;
};

struct ICreateErrorInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("{22F03340-547D-101B-8E65-08002B2BD119}");

    // Text arguments are NUL-terminated; null clears the field.
    virtual HRESULT SetGUID(const GUID& guid) = 0;
    virtual HRESULT SetSource(LPCOLESTR source) = 0;
    virtual HRESULT SetDescription(LPCOLESTR description) = 0;
    virtual HRESULT SetHelpFile(LPCOLESTR helpFile) = 0;
    virtual HRESULT SetHelpContext(DWORD helpContext) = 0;

protected:
    ~ICreateErrorInfo() override = default;
};

inline constexpr IID IID_IErrorInfo = IErrorInfo::kIid;
inline constexpr IID IID_ICreateErrorInfo = ICreateErrorInfo::kIid;

// Creates an empty error object; QueryInterface gives its IErrorInfo.
// E_POINTER for null out, E_OUTOFMEMORY.
HRESULT CreateErrorInfo(ICreateErrorInfo** out);

// Stores info (adding a reference; null clears) as the calling thread's error
// info, releasing the one stored before. reserved must be 0 (E_INVALIDARG).
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);

// Hands the calling thread's error info to the caller (who releases it) and
// clears it: S_OK, or S_FALSE with *out null when there is none.
// reserved must be 0 and out non-null (E_INVALIDARG, E_POINTER).
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out);

// Creates error info for interface iid with the given UTF-8 source and
// description, stores it for the calling thread and returns hr, so that a
// failing method can end with `return ReportErrorInfo(hr, ...)`. When the
// error object cannot be made, the thread's error info is cleared instead.
HRESULT ReportErrorInfo(HRESULT hr, const IID& iid, std::string_view source,
                        std::string_view description);
