// Codes and flags of COM activation: the class contexts a client may ask for,
// the apartment flags of CoInitializeEx, and the failures of the class
// registry and of loading an in-process server.
#pragma once

#include "platform/com/HResult.h"
#include "platform/kernel/WinTypes.h"

// Class contexts (CLSCTX). Only in-process servers exist in this system.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// CoInitializeEx flags.
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

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
