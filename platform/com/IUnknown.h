// IUnknown, the root of every interface: identity by QueryInterface and
// lifetime by reference counting. Every interface declares its identity as
// `static constexpr IID kIid`, which UuidOf<T>() reads; the smart pointer and
// the object helper find interfaces by it.
//
// Thread safety: a contract for implementers. Objects of this free-threaded
// component must make AddRef, Release and QueryInterface safe to call from
// any thread at once (CComObjectBase does).
#pragma once

#include "platform/com/Guid.h"
#include "platform/com/HResult.h"
#include "platform/kernel/WinTypes.h"

struct IUnknown {
    static constexpr IID kIid = MakeGuid("{00000000-0000-0000-C000-000000000046}");

    // Answers S_OK with an added reference in *object when the object has the
    // interface iid, else E_NOINTERFACE with *object null; E_POINTER when
    // object is null. Asking for IUnknown always gives the same pointer.
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    // Both return the new count, for diagnostics only.
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Objects are destroyed by their last Release, never by delete from outside.
    virtual ~IUnknown() = default;
};

inline constexpr IID IID_IUnknown = IUnknown::kIid;

template <class T>
constexpr const IID& UuidOf() noexcept {
    return T::kIid;
}
