#include "server/timeline/NewUuid.h"

#include <random>

#include "platform/com/Guid.h"

std::string NewUuidText() {
    // Straight from the system's entropy: uuids of two processes must not
    // follow one seed.
    thread_local std::random_device device;
    const auto next64 = [] { return std::uint64_t{device()} << 32 | device(); };
    const std::uint64_t high = next64();
    const std::uint64_t low = next64();
    GUID g{};
    g.Data1 = static_cast<std::uint32_t>(high >> 32);
    g.Data2 = static_cast<std::uint16_t>(high >> 16);
    g.Data3 = static_cast<std::uint16_t>((high & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i) {
        g.Data4[i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    }
    g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return GuidToString(g);
}
