// The in-process server of the XML document class: CoCreateInstance of
// CLSID_DOMDocument40 loads this library once it is registered.
#include "platform/com/ClassFactory.h"
#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComRegistry.h"
#include "platform/xml/IXMLDOMDocument2.h"

namespace {

// The documents' code lives in the shared XML library, which stays loaded
// while any document lives; this module only hands out the factory.
class CDomDocumentFactory : public CComObjectBase<IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        if (const HRESULT hr = ClearOutPointer(object); FAILED(hr)) {
            return hr;
        }
        return outer != nullptr ? CLASS_E_NOAGGREGATION : CreateXmlDomDocument(iid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

}  // namespace

#define TMS_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

TMS_SERVER_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
    if (clsid != CLSID_DOMDocument40) {
        const HRESULT hr = ClearOutPointer(object);
        return FAILED(hr) ? hr : CLASS_E_CLASSNOTAVAILABLE;
    }
    return CreateComObject<CDomDocumentFactory>(iid, object);
}

// Documents handed out keep using the shared XML library, never this module's
// code, but a client may hold the factory: the module stays loaded.
TMS_SERVER_EXPORT HRESULT DllCanUnloadNow() {
    return S_FALSE;
}

TMS_SERVER_EXPORT HRESULT DllRegisterServer() {
    return RegisterInprocServer(CLSID_DOMDocument40, "XML Document",
                                reinterpret_cast<const void*>(&DllRegisterServer), "Both",
                                kDomDocumentProgId);
}

TMS_SERVER_EXPORT HRESULT DllUnregisterServer() {
    const HRESULT hr = CComRegistry().UnregisterClass(CLSID_DOMDocument40);
    return FAILED(hr) ? hr : S_OK;
}
