#include "tools/tmsctl/StatusBlockImage.h"

#include <algorithm>
#include <cstring>

#include "platform/com/Utf.h"

bool CStatusBlockImage::IsBlank() const {
    return std::all_of(m_bytes.begin(), m_bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::uint8_t CStatusBlockImage::U8(std::size_t offset) const {
    return offset < m_bytes.size() ? m_bytes[offset] : 0;
}

std::uint16_t CStatusBlockImage::U16(std::size_t offset) const {
    return static_cast<std::uint16_t>(U8(offset) | U8(offset + 1) << 8);
}

std::uint32_t CStatusBlockImage::U32(std::size_t offset) const {
    return std::uint32_t{U16(offset)} | std::uint32_t{U16(offset + 2)} << 16;
}

std::uint64_t CStatusBlockImage::U64(std::size_t offset) const {
    return std::uint64_t{U32(offset)} | std::uint64_t{U32(offset + 4)} << 32;
}

float CStatusBlockImage::F32(std::size_t offset) const {
    const std::uint32_t bits = U32(offset);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string CStatusBlockImage::Text(std::size_t offset, std::size_t units) const {
    std::u16string wide;
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t c = U16(offset + 2 * i);
        if (c == 0) {
            break;
        }
        wide += c;
    }
    // Control characters and surrogates that do not pair up.
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const char16_t c = wide[i];
        const bool high = c >= 0xD800 && c < 0xDC00;
        const bool low = c >= 0xDC00 && c < 0xE000;
        if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
            ++i;
        } else if (c < 0x20 || c == 0x7F || high || low) {
            wide[i] = u'?';
        }
    }
    return Utf16ToUtf8(wide);
}

bool CStatusBlockImage::NewestSlot(const statusview::RingInfo& ring, std::int32_t* slot) const {
    const std::int32_t index = I32(ring.index);
    const bool valid = index >= 0 && index < ring.slots;
    *slot = valid ? index : 0;
    return valid;
}
