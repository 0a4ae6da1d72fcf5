// Building and reading the VARIANT arrays that multi-name queries answer
// with: VT_ARRAY | VT_VARIANT, one element per name, lower bound 0; and the
// VT_ARRAY | VT_UI1 byte blocks some properties carry.
//
// Thread safety: pure functions over values the caller owns.
#pragma once

#include "platform/com/SafeArray.h"
#include "platform/com/Variant.h"
#include "platform/kernel/WinTypes.h"

#include <cstddef>
#include <vector>

// A VT_ARRAY | VT_VARIANT holding copies of values, indexed from lowerBound.
// Throws _com_error (E_OUTOFMEMORY).
CVariant MakeVariantArray(const std::vector<CVariant>& values, LONG lowerBound = 0);

// Copies of the elements of a one-dimensional array variant (VT_ARRAY of any
// element type, also by reference), in index order. Throws _com_error:
// DISP_E_TYPEMISMATCH for a variant that is not an array, E_INVALIDARG for
// a null or multi-dimensional array.
std::vector<CVariant> ReadVariantArray(const VARIANT& value);

// A VT_ARRAY | VT_UI1 holding a copy of size bytes, indexed from 0.
CVariant MakeByteArray(const void* bytes, std::size_t size);

// The bytes of a VT_ARRAY | VT_UI1 variant (also by reference); throws
// _com_error (DISP_E_TYPEMISMATCH for any other type).
std::vector<BYTE> ReadByteArray(const VARIANT& value);
