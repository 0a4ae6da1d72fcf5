// CClassFactory<T>, the class factory a server hands out from
// DllGetClassObject for its class T (a CComObjectBase created by
// MakeComObject). The factory holds a module lock while it lives, and
// LockServer(TRUE) adds one more, so the server is not unloaded under a
// client that keeps the factory between creations.
//
// Thread safety: CreateInstance and LockServer may be called from any thread
// at once; T's constructor must be safe to run on several threads at once.
#pragma once

#include "platform/com/ComError.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/IClassFactory.h"
#include "platform/com/ModuleLock.h"

template <class T>
class CClassFactory : public CComObjectBase<IClassFactory> {
public:
    CClassFactory() = default;

    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        if (const HRESULT hr = ClearOutPointer(object); FAILED(hr)) {
            return hr;
        }
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        try {
            CComPtr<T> instance = MakeComObject<T>();
            // The object dies here when it lacks iid; the caller gets
            // QueryInterface's answer.
            return instance->QueryInterface(iid, object);
        } catch (const _com_error& e) {
            return e.Error();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    HRESULT LockServer(BOOL lock) override {
        if (lock) {
            ModuleAddRef();
        } else {
            ModuleRelease();
        }
        return S_OK;
    }

private:
    CModuleLock m_moduleLock;
};

// The body of a server's DllGetClassObject for a class T: answers a fresh
// factory for T when clsid is T's class id, else CLASS_E_CLASSNOTAVAILABLE.
template <class T>
HRESULT GetClassFactoryFor(const CLSID& classId, const CLSID& clsid, const IID& iid,
                           void** object) {
    if (clsid != classId) {
        const HRESULT hr = ClearOutPointer(object);
        return FAILED(hr) ? hr : CLASS_E_CLASSNOTAVAILABLE;
    }
    return CreateComObject<CClassFactory<T>>(iid, object);
}
