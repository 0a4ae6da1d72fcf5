// COM activation of in-process servers: a class id (or a ProgID naming one)
// is looked up in the class registry (CComRegistry), its server library is
// loaded with dlopen and asked for the class factory through its exported
// DllGetClassObject.
//
// Each server library is loaded once per process (RTLD_NOW | RTLD_LOCAL) and
// stays loaded until CoFreeUnusedLibraries finds that its DllCanUnloadNow
// answers S_OK. It is then closed; the system's libraries, built for the
// static TLS block, stay mapped after that (the loader never unmaps such a
// library), and a later activation finds them as they were left.
//
// Failures return the HRESULT and leave a message for the calling thread
// (GetErrorInfo): the registry's message, or the loader's text when a library
// cannot be loaded (CO_E_DLLNOTFOUND) or lacks DllGetClassObject
// (CO_E_ERRORINDLL).
//
// Thread safety: every function may be called from any thread at once. The
// table of loaded servers is guarded by one lock that is held while a server's
// DllGetClassObject and DllCanUnloadNow run, so that no library is closed
// between the answer "can unload" and another thread's activation; a server
// may activate other classes from those calls on the same thread, but must
// not wait there for another thread that does.
#pragma once

#include "platform/com/ComActivationCodes.h"
#include "platform/com/IUnknown.h"

#include <string>

// The entry points an in-process server exports (extern "C").
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

// Counted per thread: S_OK for the first call, S_FALSE for each further one.
// Objects of this system are free-threaded; the flags are accepted as given.
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
// Undoes one CoInitializeEx of the calling thread (CO_E_NOTINITIALIZED when
// none is left).
HRESULT CoUninitialize();

// The class id registered for a ProgID; CO_E_CLASSSTRING when unknown.
HRESULT CLSIDFromProgID(const char* progId, CLSID* clsid);
HRESULT CLSIDFromProgID(const char16_t* progId, CLSID* clsid);

// Hands out the class object (usually IClassFactory) of a registered class.
// clsctx must include CLSCTX_INPROC_SERVER (REGDB_E_CLASSNOTREG otherwise);
// reserved must be null (E_INVALIDARG).
HRESULT CoGetClassObject(const CLSID& clsid, DWORD clsctx, void* reserved, const IID& iid,
                         void** object);

// Creates an instance of a registered class through its class factory.
// Aggregation is not supported (CLASS_E_NOAGGREGATION for a non-null outer).
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD clsctx, const IID& iid,
                         void** object);

// Asks every loaded server whether it can be unloaded, and closes those that
// have answered S_OK at every such call for at least unloadDelayMs: a thread
// that has just released a server's last object may still be running the
// end of that Release inside the library. 0 closes at once, which is safe
// only when no other thread uses the server's objects (tests).
constexpr DWORD kDefaultUnloadDelayMs = 1000;
void CoFreeUnusedLibraries();  // with kDefaultUnloadDelayMs
void CoFreeUnusedLibrariesEx(DWORD unloadDelayMs, DWORD reserved);

// Loads the library at libraryPath and calls its DllRegisterServer (or
// DllUnregisterServer); the answer is the server's. The library is loaded for
// the call only (through the process-wide table, so a server in use stays).
HRESULT DllRegisterServerAt(const std::string& libraryPath);
HRESULT DllUnregisterServerAt(const std::string& libraryPath);

// The absolute path of the loaded library (or program) that contains
// addressInside, e.g. a server's own function; "" when unknown. A server's
// DllRegisterServer uses it to register where it lives.
std::string GetModulePath(const void* addressInside);
