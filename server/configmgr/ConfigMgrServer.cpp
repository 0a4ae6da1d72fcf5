// The configuration manager's in-process server exports.
#include "platform/com/ClassFactory.h"
#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComRegistry.h"
#include "platform/com/ModuleLock.h"
#include "server/configmgr/ConfigMgr.h"

#define TMS_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

TMS_SERVER_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
    return GetClassFactoryFor<CConfigMgr>(CLSID_ConfigMgr, clsid, iid, object);
}

TMS_SERVER_EXPORT HRESULT DllCanUnloadNow() {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

TMS_SERVER_EXPORT HRESULT DllRegisterServer() {
    return RegisterInprocServer(CLSID_ConfigMgr, "Configuration Manager",
                                reinterpret_cast<const void*>(&DllRegisterServer), "Both",
                                kConfigMgrProgId);
}

TMS_SERVER_EXPORT HRESULT DllUnregisterServer() {
    const HRESULT hr = CComRegistry().UnregisterClass(CLSID_ConfigMgr);
    return FAILED(hr) ? hr : S_OK;
}
