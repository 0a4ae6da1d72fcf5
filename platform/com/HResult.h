// HRESULT and the codes the component and its peers use. An HRESULT is a signed
// 32-bit value; negative values are failures.
#pragma once

#include "platform/kernel/WinTypes.h"

using HRESULT = std::int32_t;
using SCODE = HRESULT;

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// Builds an HRESULT from its unsigned 32-bit spelling, e.g. HR(0x80004005).
constexpr HRESULT HR(std::uint32_t v) {
    return static_cast<HRESULT>(v);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = HR(0x80004001);
constexpr HRESULT E_NOINTERFACE = HR(0x80004002);
constexpr HRESULT E_POINTER = HR(0x80004003);
constexpr HRESULT E_ABORT = HR(0x80004004);
constexpr HRESULT E_FAIL = HR(0x80004005);
constexpr HRESULT E_UNEXPECTED = HR(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = HR(0x80070005);
constexpr HRESULT E_HANDLE = HR(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = HR(0x8007000E);
constexpr HRESULT E_INVALIDARG = HR(0x80070057);

constexpr HRESULT CLASS_E_NOAGGREGATION = HR(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HR(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = HR(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = HR(0x800401F3);
// The registry file could not be read or written, or holds a line that is
// not a valid entry.
constexpr HRESULT REGDB_E_READREGDB = HR(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = HR(0x80040151);
constexpr HRESULT REGDB_E_INVALIDVALUE = HR(0x80040153);
// The server library of a class could not be loaded.
constexpr HRESULT CO_E_DLLNOTFOUND = HR(0x8004015F);
// The server library loaded but lacks an entry point it must export.
constexpr HRESULT CO_E_ERRORINDLL = HR(0x800401F9);
// CoUninitialize without a matching CoInitializeEx.
constexpr HRESULT CO_E_NOTINITIALIZED = HR(0x800401F0);
constexpr HRESULT DISP_E_TYPEMISMATCH = HR(0x80020005);
constexpr HRESULT DISP_E_OVERFLOW = HR(0x8002000A);
constexpr HRESULT DISP_E_BADVARTYPE = HR(0x80020008);
constexpr HRESULT DISP_E_BADINDEX = HR(0x8002000B);
constexpr HRESULT DISP_E_ARRAYISLOCKED = HR(0x8002000D);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = HR(0x8002802B);

// Win32 error codes as HRESULTs (FACILITY_WIN32).
constexpr HRESULT HRESULT_FROM_WIN32(DWORD err) {
    return err == 0 ? S_OK : static_cast<HRESULT>((err & 0xFFFFu) | 0x80070000u);
}

// The parts of an HRESULT: facility (bits 16-26) and code (bits 0-15).
constexpr DWORD HRESULT_FACILITY(HRESULT hr) {
    return (static_cast<DWORD>(hr) >> 16) & 0x1FFFu;
}
constexpr DWORD HRESULT_CODE(HRESULT hr) {
    return static_cast<DWORD>(hr) & 0xFFFFu;
}
constexpr DWORD FACILITY_ITF = 4;
constexpr DWORD FACILITY_WIN32 = 7;
