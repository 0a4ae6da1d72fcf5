// The component's in-process server exports: the class factory of
// TmsChannel and its registration in the runtime folder's class registry.
#include "platform/com/ClassFactory.h"
#include "platform/com/ComRegistry.h"
#include "platform/com/ModuleLock.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/tmschannel.h"

#define TMS_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

TMS_SERVER_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
    return GetClassFactoryFor<CChannel>(CLSID_TmsChannel, clsid, iid, object);
}

TMS_SERVER_EXPORT HRESULT DllCanUnloadNow() {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

TMS_SERVER_EXPORT HRESULT DllRegisterServer() {
    return RegisterInprocServer(
        CLSID_TmsChannel, kTmsChannelClassName, reinterpret_cast<const void*>(&DllRegisterServer),
        "Free", kTmsChannelProgId, kTmsChannelVersionIndependentProgId, LIBID_TmsChannelLib);
}

TMS_SERVER_EXPORT HRESULT DllUnregisterServer() {
    const HRESULT hr = CComRegistry().UnregisterClass(CLSID_TmsChannel);
    return FAILED(hr) ? hr : S_OK;
}
