// Conversions of node text to numbers and booleans, shared by the typed
// readers and the data-typed values. Numbers are read in the C locale
// whatever the process locale is. Leading and trailing XML white space
// (blank, tab, CR, LF) is allowed; anything else around the value is junk and
// makes the conversion fail. Each function leaves *out untouched on failure.
#pragma once

#include <cstdint>
#include <string_view>

namespace xmltext {

std::string_view Trim(std::string_view text);

// A 32-bit integer: decimal with an optional sign, or hexadecimal "0x..."
// (optional sign, up to 0xFFFFFFFF, taken as the 32-bit pattern, so
// "0x80000000" is INT32_MIN).
bool ParseLong(std::string_view text, std::int32_t* out);

// A decimal integer within [min, max].
bool ParseInteger(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t* out);

// A finite decimal number ("1", "-2.5", "1e3", ".5"); no hexadecimal, no
// infinities, no NaN.
bool ParseDouble(std::string_view text, double* out);

// "true"/"false" and "yes"/"no" in any letter case, or a number (non-zero is
// true).
bool ParseBool(std::string_view text, bool* out);

// An XML name as elements and attributes may take ("Channel", "dt:dt",
// "_x-1.a"); characters beyond ASCII are accepted as name characters.
bool IsName(std::string_view name);

}  // namespace xmltext
