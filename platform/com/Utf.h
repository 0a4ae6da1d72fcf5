// Conversions between the component's UTF-8 text and the UTF-16 of BSTRs,
// and the 8-bit Latin-1 text of the system's fixed-size narrow fields.
// Invalid input never fails: each bad sequence becomes U+FFFD (in the
// Latin-1 direction, a character above U+00FF becomes '?').
//
// Thread safety: pure functions; call from any thread.
#pragma once

#include <string>
#include <string_view>

// Each maximal ill-formed subsequence (stray continuation byte, truncated or
// overlong sequence, encoded surrogate, value above U+10FFFF) becomes one
// U+FFFD; characters above U+FFFF become surrogate pairs.
std::u16string Utf8ToUtf16(std::string_view text);
// The first units of Utf8ToUtf16(text), at most capacity of them, into out
// (a surrogate pair cut by the end leaves its first half, as cutting the
// converted string would); returns how many. Allocates nothing.
std::size_t Utf8ToUtf16Prefix(std::string_view text, char16_t* out, std::size_t capacity);

// A surrogate pair becomes one 4-byte character; a lone surrogate becomes
// U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// One byte per character: U+0000..U+00FF as that byte, anything else
// (a surrogate pair counts as one character) as '?'.
std::string Utf16ToNarrow(std::u16string_view text);

// Each byte is the Latin-1 character of that value.
std::u16string NarrowToUtf16(std::string_view text);
