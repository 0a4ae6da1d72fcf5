// IClassFactory, the object a server hands out for each of its classes: it
// creates instances of the class and can keep the server loaded between
// creations.
//
// Thread safety: a contract for implementers. The factories of this
// free-threaded system are called from any thread at once (CClassFactory is).
#pragma once

#include "platform/com/IUnknown.h"

struct IClassFactory : IUnknown {
    static constexpr IID kIid = MakeGuid("{00000001-0000-0000-C000-000000000046}");

    // Creates an uninitialised instance and hands out its interface iid in
    // *object. Aggregation is not supported: a non-null outer gives
    // CLASS_E_NOAGGREGATION. E_POINTER for null object, E_NOINTERFACE when the
    // class lacks iid (*object is null on every failure).
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
    // TRUE keeps the server loaded until a matching LockServer(FALSE).
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() override = default;
};

inline constexpr IID IID_IClassFactory = IClassFactory::kIid;
