// Filling a caller's [out] VARIANT with a status value: whatever it held is
// cleared first.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/Variant.h"

namespace status_value {

inline void SetI4(VARIANT* value, std::int32_t v) {
    VariantClear(value);
    value->vt = VT_I4;
    value->lVal = v;
}

inline void SetR4(VARIANT* value, float v) {
    VariantClear(value);
    value->vt = VT_R4;
    value->fltVal = v;
}

inline void SetBool(VARIANT* value, bool v) {
    VariantClear(value);
    value->vt = VT_BOOL;
    value->boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
}

inline HRESULT SetText(VARIANT* value, const std::string& text) {
    VariantClear(value);
    return CVariant(text).CopyTo(value);
}

}  // namespace status_value
