// Expected message bytes written out by hand from the layout tables: each
// test places ids, sizes and fields at their documented offsets.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tmstest {

class Golden {
public:
    explicit Golden(std::size_t size) : m_bytes(size, 0) {}
    // Further fields written over bytes made elsewhere.
    explicit Golden(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    Golden& Text(std::size_t at, const char* s) {
        std::memcpy(m_bytes.data() + at, s, std::strlen(s));
        return *this;
    }
    Golden& U32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            m_bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
        return *this;
    }
    Golden& U16(std::size_t at, std::uint16_t v) {
        m_bytes[at] = static_cast<std::uint8_t>(v);
        m_bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
        return *this;
    }
    Golden& U8(std::size_t at, std::uint8_t v) {
        m_bytes[at] = v;
        return *this;
    }
    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
};

inline std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x%s", p[i], (i % 16 == 15) ? "\n" : " ");
        out += b;
    }
    return out;
}

}  // namespace tmstest
