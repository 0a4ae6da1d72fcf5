#include "server/timeline/NewUuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/com/Guid.h"

std::string NewUuidText() {
    // Straight from the system's entropy: uuids of two processes must not
    // follow one seed. Asked of the kernel each time rather than kept in a
    // per-thread generator: this library is loaded on demand, and a large
    // thread-local object there costs every thread a block of its own.
    std::uint64_t words[2] = {};
    auto* bytes = reinterpret_cast<unsigned char*>(words);
    std::size_t got = 0;
    while (got < sizeof words) {
        const ssize_t n = getrandom(bytes + got, sizeof words - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("getrandom failed: ") + std::strerror(errno));
        }
        got += static_cast<std::size_t>(n);
    }
    const std::uint64_t high = words[0];
    const std::uint64_t low = words[1];
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
