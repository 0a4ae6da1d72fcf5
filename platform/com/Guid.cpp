#include "platform/com/Guid.h"

#include <cstdio>
#include <cstring>

bool GuidFromString(std::string_view text, GUID* out) {
    return out != nullptr && guid_detail::Parse(text, out);
}

std::string GuidToString(const GUID& g) {
    char buffer[39];
    std::snprintf(buffer, sizeof(buffer), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buffer;
}

std::size_t GuidHash::operator()(const GUID& g) const noexcept {
    // FNV-1a over the 16 bytes; GUIDs are already well spread, this just folds them.
    unsigned char bytes[sizeof(GUID)];
    std::memcpy(bytes, &g, sizeof(bytes));
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char b : bytes) {
        h = (h ^ b) * 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
}
