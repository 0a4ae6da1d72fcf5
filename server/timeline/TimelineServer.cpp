// The timeline component's in-process server exports.
#include "platform/com/ClassFactory.h"
#include "platform/com/ComRegistry.h"
#include "platform/com/ModuleLock.h"
#include "server/timeline/MovieBuilder.h"

#define TMS_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

TMS_SERVER_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
    return GetClassFactoryFor<CMovieBuilder>(CLSID_MovieBuilder, clsid, iid, object);
}

TMS_SERVER_EXPORT HRESULT DllCanUnloadNow() {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

TMS_SERVER_EXPORT HRESULT DllRegisterServer() {
    return RegisterInprocServer(CLSID_MovieBuilder, "Movie Builder",
                                reinterpret_cast<const void*>(&DllRegisterServer), "Both",
                                kMovieBuilderProgId);
}

TMS_SERVER_EXPORT HRESULT DllUnregisterServer() {
    const HRESULT hr = CComRegistry().UnregisterClass(CLSID_MovieBuilder);
    return FAILED(hr) ? hr : S_OK;
}
