#include "tools/tmsctl/OutputsText.h"

#include <cstdio>

namespace tmsctl {

namespace {

// The ancillary-data region: the ring index and the cycle numbers before it.
constexpr statusview::RingInfo kAncRing{0x1A440, 30};
constexpr std::size_t kAncCycles = 0x1A404;  // uint16 per slot

}  // namespace

CRtsOutputsReader::CRtsOutputsReader() : m_open(m_shmem.Open() != FALSE) {}

std::optional<RtsOutputs> CRtsOutputsReader::Read(int channel) const {
    if (!m_open) {
        return std::nullopt;
    }
    RtsOutputs out;
    unsigned mask = 0;
    TmsAncillaryDataStatus anc{};
    if (!m_shmem.GetGpiOutputMask(channel, &mask) || !m_shmem.GetAncDataStatus(channel, &anc)) {
        return std::nullopt;
    }
    out.gpiOutputMask = mask;
    out.ancPresent = anc.present != 0;
    out.ancPackets = anc.packetCount;
    out.ancTick = anc.tickCount;
    out.ancError = anc.errorCode;
    return out;
}

std::string OutputsText(const std::optional<RtsOutputs>& rts) {
    if (!rts) {
        return {};
    }
    std::string lamps;
    for (int bit = 0; bit < 32; ++bit) {
        if (bit > 0 && bit % 8 == 0) {
            lamps += ' ';
        }
        lamps += (rts->gpiOutputMask >> bit & 1u) != 0 ? '#' : '.';
    }
    char line[160];
    std::snprintf(line, sizeof line, "  gpi outputs %s  0x%08X  (output 0 first)\n", lamps.c_str(),
                  rts->gpiOutputMask);
    std::string out = line;
    std::snprintf(line, sizeof line, "  ancillary data %s  packets %u  tick %u  error %u\n",
                  rts->ancPresent ? "present" : "absent", rts->ancPackets, rts->ancTick,
                  rts->ancError);
    return out + line;
}

std::string AncDataRegionText(const CStatusBlockImage& block) {
    std::int32_t slot = 0;
    if (!block.NewestSlot(kAncRing, &slot)) {
        char line[96];
        std::snprintf(line, sizeof line,
                      "  ancillary data region: ring index %d out of range 0..%d\n",
                      block.I32(kAncRing.index), kAncRing.slots - 1);
        return line;
    }
    const std::uint16_t cycle = block.U16(kAncCycles + 2 * static_cast<std::size_t>(slot));
    if (cycle == 0) {
        return {};
    }
    char line[80];
    std::snprintf(line, sizeof line, "  ancillary data cycle %u slot %d\n", cycle, slot);
    return line;
}

std::string GpiAndAncDataText(const std::optional<RtsOutputs>& rts,
                              const CStatusBlockImage& block) {
    return OutputsText(rts) + AncDataRegionText(block);
}

}  // namespace tmsctl
