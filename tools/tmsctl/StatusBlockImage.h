// A copy of one channel's status block, taken at one moment, with typed
// reads at byte offsets (little-endian numbers, UTF-16 texts). Reads never
// leave the block: an offset past its end reads as zero or empty text, so a
// wrong offset shows as a blank field instead of a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/tmsctl/StatusBlockLayout.h"

class CStatusBlockImage {
public:
    explicit CStatusBlockImage(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}

    // True when every byte is zero: nothing was ever written.
    bool IsBlank() const;

    std::uint8_t U8(std::size_t offset) const;
    std::uint16_t U16(std::size_t offset) const;
    std::uint32_t U32(std::size_t offset) const;
    std::int32_t I32(std::size_t offset) const { return static_cast<std::int32_t>(U32(offset)); }
    std::uint64_t U64(std::size_t offset) const;
    float F32(std::size_t offset) const;
    // The text of a field of units UTF-16 units, up to its terminator (or the
    // field's end when it has none), as UTF-8; control characters and
    // unpaired surrogates become '?' so that a torn text cannot upset the
    // terminal.
    std::string Text(std::size_t offset, std::size_t units) const;

    // The slot that holds a ring's newest values: the value of its index
    // word. False when that word is outside 0 to slots - 1 (slot is then 0).
    bool NewestSlot(const statusview::RingInfo& ring, std::int32_t* slot) const;

private:
    std::vector<std::uint8_t> m_bytes;
};
