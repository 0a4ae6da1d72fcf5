// A minimal in-process server for the activation tests: one class,
// CLSID_TestWidget, with the four exports every server has.
#include "platform/com/ClassFactory.h"
#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComRegistry.h"
#include "platform/com/ModuleLock.h"
#include "tests/platform/comreg/TestWidget.h"

namespace {

class CTestWidget : public CComObjectBase<ITestWidget> {
public:
    HRESULT Add(LONG a, LONG b, LONG* sum) override {
        if (sum == nullptr) {
            return E_POINTER;
        }
        *sum = a + b;
        return S_OK;
    }

private:
    CModuleLock m_moduleLock;
};

}  // namespace

#define TEST_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

TEST_SERVER_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
    return GetClassFactoryFor<CTestWidget>(CLSID_TestWidget, clsid, iid, object);
}

TEST_SERVER_EXPORT HRESULT DllCanUnloadNow() {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

TEST_SERVER_EXPORT HRESULT DllRegisterServer() {
    return RegisterInprocServer(CLSID_TestWidget, "Test Widget Class",
                                reinterpret_cast<const void*>(&DllRegisterServer), "Free",
                                kTestWidgetProgId, kTestWidgetIndependentProgId);
}

TEST_SERVER_EXPORT HRESULT DllUnregisterServer() {
    const HRESULT hr = CComRegistry().UnregisterClass(CLSID_TestWidget);
    return FAILED(hr) ? hr : S_OK;
}
