#include "platform/com/CoCreateInstance.h"

#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ComRegistry.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/IClassFactory.h"
#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/ThreadAnnotations.h"

#include <dlfcn.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace {

constexpr const char* kSource = "CoCreateInstance";

HRESULT Report(HRESULT hr, const std::string& message) {
    return ReportErrorInfo(hr, IID_NULL, kSource, message);
}

std::string DlErrorText() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown loader error";
}

// The absolute, link-free form of path, so that one library reached by two
// spellings is still one table entry; "" with errno set when it does not exist.
std::string CanonicalPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

struct LoadedServer {
    void* handle = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    // Null when the server does not export it: such a server is never closed.
    DllCanUnloadNowFn canUnloadNow = nullptr;
    // When DllCanUnloadNow first answered S_OK in a row of such answers.
    std::optional<std::chrono::steady_clock::time_point> idleSince;
};

// The process-wide table of loaded in-process servers, keyed by canonical
// path. Its lock is held across the calls into a server that must not race
// with closing it (see CoCreateInstance.h).
class CServerTable {
public:
    HRESULT GetClassObject(const std::string& path, const CLSID& clsid, const IID& iid,
                           void** object) EXCLUDES(m_cs) {
        CCriticalSectionLock lock(m_cs);
        LoadedServer* server = nullptr;
        const HRESULT hr = Load(path, &server);
        if (FAILED(hr)) {
            return hr;
        }
        const HRESULT got = server->getClassObject(clsid, iid, object);
        if (got == CLASS_E_CLASSNOTAVAILABLE) {
            return Report(
                got, "server library " + path + " does not provide class " + GuidToString(clsid));
        }
        return got;
    }

    HRESULT CallRegistration(const std::string& path, const char* entryPoint) EXCLUDES(m_cs) {
        CCriticalSectionLock lock(m_cs);
        LoadedServer* server = nullptr;
        const std::string canonical = CanonicalPath(path);
        if (canonical.empty()) {
            return Report(CO_E_DLLNOTFOUND,
                          "cannot load server library " + path + ": " + std::strerror(errno));
        }
        HRESULT hr = Load(canonical, &server);
        if (FAILED(hr)) {
            return hr;
        }
        dlerror();
        auto* call = reinterpret_cast<DllRegisterServerFn>(dlsym(server->handle, entryPoint));
        if (call == nullptr) {
            hr = Report(CO_E_ERRORINDLL, "server library " + canonical + " does not export " +
                                             entryPoint + ": " + DlErrorText());
        } else {
            hr = call();
        }
        // Registration alone does not keep the library loaded.
        if (server->canUnloadNow != nullptr && server->canUnloadNow() == S_OK) {
            Close(canonical);
        }
        return hr;
    }

    // A server is closed once it has said it can be unloaded for delay: the
    // thread that released its last object may still be running the last
    // instructions of that Release inside the library.
    void FreeUnused(std::chrono::milliseconds delay) EXCLUDES(m_cs) {
        CCriticalSectionLock lock(m_cs);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = m_servers.begin(); it != m_servers.end();) {
            LoadedServer& server = it->second;
            if (server.canUnloadNow == nullptr || server.canUnloadNow() != S_OK) {
                server.idleSince.reset();
                ++it;
                continue;
            }
            if (!server.idleSince) {
                server.idleSince = now;
            }
            if (now - *server.idleSince >= delay) {
                dlclose(server.handle);
                it = m_servers.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    // Finds or loads the server at canonical path.
    HRESULT Load(const std::string& path, LoadedServer** out) REQUIRES(m_cs) {
        auto it = m_servers.find(path);
        if (it != m_servers.end()) {
            *out = &it->second;
            return S_OK;
        }
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            return Report(CO_E_DLLNOTFOUND,
                          "cannot load server library " + path + ": " + DlErrorText());
        }
        dlerror();
        LoadedServer server;
        server.handle = handle;
        server.getClassObject =
            reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
        if (server.getClassObject == nullptr) {
            const std::string text = DlErrorText();
            dlclose(handle);
            return Report(CO_E_ERRORINDLL,
                          "server library " + path + " does not export DllGetClassObject: " + text);
        }
        server.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
        *out = &m_servers.emplace(path, server).first->second;
        return S_OK;
    }

    void Close(const std::string& path) REQUIRES(m_cs) {
        auto it = m_servers.find(path);
        if (it != m_servers.end()) {
            dlclose(it->second.handle);
            m_servers.erase(it);
        }
    }

    CCriticalSection m_cs;
    std::map<std::string, LoadedServer> m_servers GUARDED_BY(m_cs);
};

CServerTable& Servers() {
    static CServerTable table;
    return table;
}

thread_local int t_initCount = 0;

}  // namespace

HRESULT CoInitializeEx(void* reserved, DWORD coinit) {
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

HRESULT CoUninitialize() {
    if (t_initCount == 0) {
        return CO_E_NOTINITIALIZED;
    }
    --t_initCount;
    return S_OK;
}

HRESULT CLSIDFromProgID(const char* progId, CLSID* clsid) {
    if (clsid == nullptr) {
        return E_POINTER;
    }
    *clsid = CLSID_NULL;
    if (progId == nullptr) {
        return E_INVALIDARG;
    }
    try {
        return CComRegistry().LookupProgId(progId, clsid);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CLSIDFromProgID(const char16_t* progId, CLSID* clsid) {
    if (progId == nullptr) {
        return CLSIDFromProgID(static_cast<const char*>(nullptr), clsid);
    }
    try {
        return CLSIDFromProgID(Utf16ToUtf8(progId).c_str(), clsid);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CoGetClassObject(const CLSID& clsid, DWORD clsctx, void* reserved, const IID& iid,
                         void** object) {
    if (const HRESULT hr = ClearOutPointer(object); FAILED(hr)) {
        return hr;
    }
    if (reserved != nullptr) {
        return E_INVALIDARG;
    }
    try {
        if ((clsctx & CLSCTX_INPROC_SERVER) == 0) {
            return Report(REGDB_E_CLASSNOTREG, "class " + GuidToString(clsid) +
                                                   " is asked for outside CLSCTX_INPROC_SERVER;"
                                                   " only in-process servers exist");
        }
        ClassEntry entry;
        const HRESULT hr = CComRegistry().LookupClass(clsid, &entry);
        if (FAILED(hr)) {
            return hr;
        }
        if (entry.inprocServer32.empty()) {
            return Report(REGDB_E_CLASSNOTREG,
                          "class " + GuidToString(clsid) + " has no InprocServer32 library");
        }
        const std::string canonical = CanonicalPath(entry.inprocServer32);
        if (canonical.empty()) {
            return Report(CO_E_DLLNOTFOUND, "cannot load server library " + entry.inprocServer32 +
                                                " of class " + GuidToString(clsid) + ": " +
                                                std::strerror(errno));
        }
        return Servers().GetClassObject(canonical, clsid, iid, object);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD clsctx, const IID& iid,
                         void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    CComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, clsctx, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    if (!factory) {
        return Report(E_UNEXPECTED, "the server of class " + GuidToString(clsid) +
                                        " answered S_OK without a class factory");
    }
    // The factory holds the server loaded until it is released here.
    return factory->CreateInstance(nullptr, iid, object);
}

void CoFreeUnusedLibraries() {
    CoFreeUnusedLibrariesEx(kDefaultUnloadDelayMs, 0);
}

void CoFreeUnusedLibrariesEx(DWORD unloadDelayMs, DWORD /*reserved*/) {
    Servers().FreeUnused(std::chrono::milliseconds(unloadDelayMs));
}

HRESULT DllRegisterServerAt(const std::string& libraryPath) {
    try {
        return Servers().CallRegistration(libraryPath, "DllRegisterServer");
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT DllUnregisterServerAt(const std::string& libraryPath) {
    try {
        return Servers().CallRegistration(libraryPath, "DllUnregisterServer");
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

std::string GetModulePath(const void* addressInside) {
    Dl_info info{};
    if (addressInside == nullptr || dladdr(addressInside, &info) == 0 ||
        info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return {};
    }
    const std::string canonical = CanonicalPath(info.dli_fname);
    return canonical.empty() ? std::string(info.dli_fname) : canonical;
}
