// GUID, the 128-bit identity of COM classes and interfaces, with its text form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as the registry writes it.
//
// Thread safety: plain values and pure functions; call from any thread.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    // Ordered field by field (Data1, Data2, Data3, then Data4 byte by byte).
    friend constexpr bool operator==(const GUID&, const GUID&) = default;
    friend constexpr auto operator<=>(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16, "GUID must be 16 bytes");

using IID = GUID;
using CLSID = GUID;

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};

namespace guid_detail {

constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads `digits` hex digits at text[pos]; false when one is not a hex digit.
constexpr bool ReadHex(std::string_view text, std::size_t pos, std::size_t digits,
                       std::uint32_t* value) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int h = HexValue(text[pos + i]);
        if (h < 0) {
            return false;
        }
        v = (v << 4) | static_cast<std::uint32_t>(h);
    }
    *value = v;
    return true;
}

constexpr bool Parse(std::string_view text, GUID* out) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') {
            return false;
        }
        text = text.substr(1, 36);
    } else if (text.size() != 36) {
        return false;
    }
    if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
        return false;
    }
    GUID g{};
    std::uint32_t v = 0;
    if (!ReadHex(text, 0, 8, &v)) {
        return false;
    }
    g.Data1 = v;
    if (!ReadHex(text, 9, 4, &v)) {
        return false;
    }
    g.Data2 = static_cast<std::uint16_t>(v);
    if (!ReadHex(text, 14, 4, &v)) {
        return false;
    }
    g.Data3 = static_cast<std::uint16_t>(v);
    // Data4: two bytes before the last hyphen, six after it.
    constexpr std::size_t kData4Pos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!ReadHex(text, kData4Pos[i], 2, &v)) {
            return false;
        }
        g.Data4[i] = static_cast<std::uint8_t>(v);
    }
    *out = g;
    return true;
}

// Reached only when a literal is malformed, which makes MakeGuid ill-formed.
inline void MalformedGuidLiteral() {}

}  // namespace guid_detail

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional, hex digits
// in either case). Malformed text returns false and leaves *out untouched.
bool GuidFromString(std::string_view text, GUID* out);

// Formats as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case with braces.
std::string GuidToString(const GUID& guid);

// A GUID literal for headers, checked at compile time:
//   inline constexpr IID IID_IFoo = MakeGuid("{12345678-9ABC-DEF0-1234-56789ABCDEF0}");
consteval GUID MakeGuid(std::string_view text) {
    GUID g{};
    if (!guid_detail::Parse(text, &g)) {
        guid_detail::MalformedGuidLiteral();  // not constexpr: a malformed literal fails to build
    }
    return g;
}

struct GuidHash {
    std::size_t operator()(const GUID& g) const noexcept;
};

template <>
struct std::hash<GUID> : GuidHash {};
