// CComObjectBase<Interfaces...>, the base of a COM object of this component:
// it implements IUnknown for the listed interfaces. QueryInterface answers
// IUnknown (through the first interface, so identity is stable) and each
// listed interface; a derived class answers further ones by overriding
// QueryExtraInterface. The count starts at zero; the object deletes itself
// when its last reference is released. MakeComObject creates one and hands
// out the first reference.
//
// Thread safety: AddRef, Release and QueryInterface may be called from any
// thread at once (the count is atomic); the object is destroyed on the
// thread that releases the last reference.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/com/IUnknown.h"

#include <atomic>
#include <new>
#include <tuple>
#include <utility>

template <class... Interfaces>
class CComObjectBase : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0, "a COM object has at least one interface");
    using Primary = std::tuple_element_t<0, std::tuple<Interfaces...>>;

public:
    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        void* found = nullptr;
        if (iid == IID_IUnknown) {
            found = static_cast<IUnknown*>(static_cast<Primary*>(this));
        } else {
            ((found == nullptr && iid == UuidOf<Interfaces>()
                  ? static_cast<void>(found = static_cast<Interfaces*>(this))
                  : static_cast<void>(0)),
             ...);
        }
        if (found == nullptr) {
            return QueryExtraInterface(iid, object);
        }
        AddRef();
        *object = found;
        return S_OK;
    }

    ULONG AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() override {
        // acq_rel: every thread's last use of the object happens before the delete.
        const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    CComObjectBase(const CComObjectBase&) = delete;
    CComObjectBase& operator=(const CComObjectBase&) = delete;

protected:
    CComObjectBase() noexcept = default;
    ~CComObjectBase() override = default;

    // Interfaces beyond the listed ones (an interface's own base, a tear-off).
    // Must set *object, adding a reference, and return S_OK, or set it null
    // and return E_NOINTERFACE.
    virtual HRESULT QueryExtraInterface(const IID& iid, void** object) {
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> m_refs{0};
};

// Creates a T (a CComObjectBase) and returns the first reference to it.
// Running out of memory throws _com_error(E_OUTOFMEMORY).
template <class T, class... Args>
CComPtr<T> MakeComObject(Args&&... args) {
    T* object = nullptr;
    try {
        object = new T(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    return CComPtr<T>(object);
}

// Starts a method's [out] interface parameter: E_POINTER when there is none,
// else S_OK with *object nulled.
inline HRESULT ClearOutPointer(void** object) noexcept {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    return S_OK;
}

// Creates a T and hands out its iid through *object; the failure as HRESULT.
template <class T, class... Args>
HRESULT CreateComObject(const IID& iid, void** object, Args&&... args) {
    if (const HRESULT hr = ClearOutPointer(object); FAILED(hr)) {
        return hr;
    }
    try {
        return MakeComObject<T>(std::forward<Args>(args)...)->QueryInterface(iid, object);
    } catch (const _com_error& e) {
        return e.Error();
    }
}
