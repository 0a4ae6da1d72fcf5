// Helpers shared by the VARIANT and SAFEARRAY implementation files; not for
// use outside platform/com.
//
// Thread safety: pure functions.
#pragma once

#include "platform/com/Variant.h"

namespace variant_detail {

// True for a type a VARIANT here may hold: a supported base type alone, by
// reference or as an array (VT_VARIANT only by reference or as an array,
// VT_EMPTY and VT_NULL only alone).
bool IsValidVariantType(VARTYPE vt);

// True for a type a SAFEARRAY here may hold as elements.
bool IsValidElementType(VARTYPE vt);

// Fills *view with the value a VT_BYREF variant refers to, borrowed (nothing
// is copied or referenced). A variant that is not by reference is copied
// bit for bit. E_POINTER for a null reference; E_INVALIDARG for a
// VT_BYREF|VT_VARIANT that refers to another by-reference variant.
HRESULT Dereference(const VARIANT& src, VARIANT* view);

}  // namespace variant_detail
