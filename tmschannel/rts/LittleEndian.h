// Little-endian fields for wire records. Each holds its bytes in wire order,
// has alignment 1 and converts on read and write, so a record type made of
// them is byte for byte what the RTS sends and receives on any host, and can
// be read in place inside a received buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

template <class T>
class LittleEndian {
    static_assert(std::is_integral_v<T> || std::is_same_v<T, float>);
    using Bits = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                 std::conditional_t<sizeof(T) == 2, std::uint16_t,
                 std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

public:
    LittleEndian() = default;
    LittleEndian(T v) { Set(v); }  // NOLINT: assignment from the host value reads naturally
    LittleEndian& operator=(T v) {
        Set(v);
        return *this;
    }
    operator T() const { return Get(); }  // NOLINT

    T Get() const {
        Bits b = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            b |= static_cast<Bits>(static_cast<Bits>(m_bytes[i]) << (8 * i));
        }
        T v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    }
    void Set(T v) {
        Bits b;
        std::memcpy(&b, &v, sizeof b);
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            m_bytes[i] = static_cast<std::uint8_t>(b >> (8 * i));
        }
    }

private:
    std::uint8_t m_bytes[sizeof(T)] = {};
};

using le_int16 = LittleEndian<std::int16_t>;
using le_uint16 = LittleEndian<std::uint16_t>;
using le_int32 = LittleEndian<std::int32_t>;
using le_uint32 = LittleEndian<std::uint32_t>;
using le_float = LittleEndian<float>;

static_assert(sizeof(le_int32) == 4 && alignof(le_int32) == 1);
static_assert(sizeof(le_uint16) == 2 && alignof(le_uint16) == 1);
static_assert(sizeof(le_float) == 4);
