// The lines tmsctl watch adds for a channel's GPI outputs and ancillary
// data: the outputs as a row of lamps and the ancillary-data status, as the
// RTS shared memory holds them (the GPI resource publishes nothing into the
// status block), and the ancillary-data region of the status block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "server/ipmclient/RtsShmem.h"
#include "tools/tmsctl/StatusBlockImage.h"

namespace tmsctl {

// What the RTS holds for the channel's outputs.
struct RtsOutputs {
    std::uint32_t gpiOutputMask = 0;
    bool ancPresent = false;
    std::uint32_t ancPackets = 0;
    std::uint32_t ancTick = 0;
    std::uint32_t ancError = 0;
};

// The RTS shared memory of the runtime folder, mapped once for one reading
// of the channels (a watch refresh, an HTTP request), so that a stalled RTS
// costs one wait per reading, not one per channel. Not kept longer: an RTS
// started again makes a new memory that an old mapping would never show.
//
// Thread safety: one owner; not shared between threads.
class CRtsOutputsReader {
public:
    CRtsOutputsReader();
    CRtsOutputsReader(const CRtsOutputsReader&) = delete;
    CRtsOutputsReader& operator=(const CRtsOutputsReader&) = delete;

    // None when the memory does not exist or holds no such channel.
    std::optional<RtsOutputs> Read(int channel) const;

private:
    CRtsShmem m_shmem;
    bool m_open;
};

// "  gpi outputs ........ .#..#... ........ ........  0x00001200  (output 0
// first)" and the ancillary data line; nothing without the RTS memory (a
// channel watched with no RTS running).
std::string OutputsText(const std::optional<RtsOutputs>& rts);
// The ancillary-data region's newest cycle: "  ancillary data cycle C slot
// K"; nothing when it was never published.
std::string AncDataRegionText(const CStatusBlockImage& block);
// Both: the GPI output lamps and the ancillary-data status of the RTS, and
// the ancillary-data region of the block.
std::string GpiAndAncDataText(const std::optional<RtsOutputs>& rts, const CStatusBlockImage& block);

}  // namespace tmsctl
