#include "platform/com/VariantArray.h"

#include "platform/com/ComError.h"

#include <cstring>
#include <limits>

namespace {

// The array a variant holds, directly or by reference; throws when there is none.
SAFEARRAY* ArrayOf(const VARIANT& value) {
    if ((value.vt & VT_ARRAY) == 0) {
        _com_issue_error(DISP_E_TYPEMISMATCH);
    }
    SAFEARRAY* array = nullptr;
    if ((value.vt & VT_BYREF) != 0) {
        if (value.pparray == nullptr) {
            _com_issue_error(E_POINTER);
        }
        array = *value.pparray;
    } else {
        array = value.parray;
    }
    if (array == nullptr || SafeArrayGetDim(array) != 1) {
        _com_issue_error(E_INVALIDARG);
    }
    return array;
}

}  // namespace

CVariant MakeVariantArray(const std::vector<CVariant>& values, LONG lowerBound) {
    if (values.size() > std::numeric_limits<ULONG>::max()) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    CSafeArray array(VT_VARIANT, static_cast<ULONG>(values.size()), lowerBound);
    for (std::size_t i = 0; i < values.size(); ++i) {
        array.PutVariant(lowerBound + static_cast<LONG>(i), values[i]);
    }
    return array.IntoVariant();
}

std::vector<CVariant> ReadVariantArray(const VARIANT& value) {
    SAFEARRAY* array = ArrayOf(value);
    // Borrow the array in a wrapper to read it, then hand it back untouched.
    CSafeArray view;
    view.Attach(array);
    std::vector<CVariant> result;
    try {
        result.reserve(view.Count());
        for (ULONG i = 0; i < view.Count(); ++i) {
            result.push_back(view.GetVariant(view.LowerBound() + static_cast<LONG>(i)));
        }
    } catch (...) {
        view.Detach();
        throw;
    }
    view.Detach();
    return result;
}

CVariant MakeByteArray(const void* bytes, std::size_t size) {
    if (size > std::numeric_limits<ULONG>::max()) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    CSafeArray array(VT_UI1, static_cast<ULONG>(size));
    if (size > 0) {
        if (bytes == nullptr) {
            _com_issue_error(E_POINTER);
        }
        std::memcpy(array.Get()->pvData, bytes, size);
    }
    return array.IntoVariant();
}

std::vector<BYTE> ReadByteArray(const VARIANT& value) {
    if ((value.vt & ~VT_BYREF) != (VT_ARRAY | VT_UI1)) {
        _com_issue_error(DISP_E_TYPEMISMATCH);
    }
    SAFEARRAY* array = ArrayOf(value);
    const auto* data = static_cast<const BYTE*>(array->pvData);
    return std::vector<BYTE>(data, data + array->rgsabound[0].cElements);
}
