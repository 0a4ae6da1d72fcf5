// IDispatch, the automation interface that VT_DISPATCH values carry. The
// component and its peers call each other through their own interfaces and
// never by late binding, so this stand-in has only the identity: a VARIANT
// can carry a dispatch object and QueryInterface can ask for it.
//
// Thread safety: as IUnknown.
#pragma once

#include "platform/com/IUnknown.h"

struct IDispatch : IUnknown {
    static constexpr IID kIid = MakeGuid("{00020400-0000-0000-C000-000000000046}");

protected:
    ~IDispatch() override = default;
};

inline constexpr IID IID_IDispatch = IDispatch::kIid;
