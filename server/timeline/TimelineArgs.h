// The arguments of the timeline component's COM methods, checked and
// converted; each failure throws CMovieError naming the argument.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/HResult.h"
#include "server/timeline/MovieError.h"

// The UTF-8 text of a BSTR (null is ""). E_INVALIDARG for a NUL character
// or an unpaired surrogate, which a stored text could not keep.
std::string TextArg(BSTR text, const char* what);
// A long that must fit the 32 bits positions and values have.
std::int32_t Int32Arg(long value, const char* what);
// E_INVALIDARG unless the reserved argument is 0.
void CheckReserved(long value, const char* method);
// A new BSTR of the text, never null (the empty text is an empty BSTR),
// freed unless released into an [out] argument; so a method that fails
// half-way through its outputs hands out none.
struct CBstrFree {
    void operator()(OLECHAR* b) const { SysFreeString(b); }
};
using CNewBstr = std::unique_ptr<OLECHAR, CBstrFree>;
CNewBstr NewBstr(const std::string& text);

// The place behind an [out] pointer; E_POINTER when there is none.
template <class T>
T& OutArg(T* place, const char* what) {
    if (place == nullptr) {
        throw CMovieError(E_POINTER, std::string("No place was given for the ") + what);
    }
    return *place;
}
