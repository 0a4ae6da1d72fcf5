// A client's 124-byte context change record with the fields a transport
// change uses (trigger Asap).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/rts/Golden.h"

namespace tmstest {

inline std::vector<unsigned char> ChangeRecord(std::uint32_t flags, std::int32_t state, float speed,
                                               std::int32_t position, std::int32_t length) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &speed, 4);
    Golden g(124);
    g.U32(0, flags).U32(24, 1).U32(32, static_cast<std::uint32_t>(state)).U32(44, bits);
    g.U32(48, static_cast<std::uint32_t>(position)).U32(96, static_cast<std::uint32_t>(length));
    return g.Bytes();
}

}  // namespace tmstest
