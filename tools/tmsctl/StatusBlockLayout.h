// Where the channel component publishes its status in a channel's block of
// the status memory, as a reader in another process sees it (docs/status.md
// describes each field). Offsets are bytes from the start of the block;
// numbers little-endian; texts NUL-terminated UTF-16 in fields of the given
// number of units. Offsets that the writers name themselves are checked
// against their constants here, so that the two cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/appserverutil/StatusMemoryLayout.h"
#include "tmschannel/channel/ChannelConfig.h"

namespace statusview {

// A ring: the index word the writer advances and its slot count; each of its
// fields is an array of slots at base + stride x slot.
struct RingInfo {
    std::size_t index;
    std::int32_t slots;
};

// Channel region.
inline constexpr std::size_t kChannelId = 0x14514;  // 36 units
inline constexpr std::size_t kChannelType = 0x1455C;
inline constexpr std::size_t kApplication = 0x145A4;
inline constexpr std::size_t kVideoFormatName = 0x145EC;  // 36 units, up to the UUID
inline constexpr std::size_t kServerUuid = 0x14634;
inline constexpr std::size_t kNameUnits = 36;
inline constexpr std::size_t kVideoFormat = 0x1467C;     // int32, format number
inline constexpr std::size_t kFieldsPerFrame = 0x14680;  // int32
inline constexpr std::size_t kStorage = 0x14688;         // 4 entries of 128 bytes
inline constexpr std::size_t kStorageStride = 128;
inline constexpr int kStorageEntries = 4;
inline constexpr std::size_t kChannelCycles = 0x14888;  // uint16 per slot
inline constexpr RingInfo kChannelRing{0x148C8, 30};
inline constexpr std::size_t kChannelOffline = 0x148C4;  // byte
inline constexpr std::size_t kSystemOffline = 0x148C5;   // byte
inline constexpr std::size_t kPreviewContext = 0x148CC;  // int32, -1 none
inline constexpr std::size_t kContextUri = 0x148D0;      // + 0x208 * context, 260 units
inline constexpr std::size_t kContextUriStride = 0x208;
inline constexpr std::size_t kContextUriUnits = 260;
inline constexpr int kContexts = 4;
inline constexpr std::size_t kGpiInputs = 0x150F0;  // uint32, bit n = input n

// Storage entry, relative to its start.
namespace storage {
inline constexpr std::size_t kVolume = 0;  // 36 units
inline constexpr std::size_t kTotalBytes = 72;
inline constexpr std::size_t kFreeBytes = 80;
inline constexpr std::size_t kRemainingFields = 88;
inline constexpr std::size_t kRemainingText = 92;  // 16 units
inline constexpr std::size_t kTimeUnits = 16;
inline constexpr std::size_t kState = 124;  // 0 unavailable, 1 available, 2 full
}  // namespace storage

// Context region: the active context's publication.
inline constexpr std::size_t kMovieName = 0x1519A;   // 36 units
inline constexpr std::size_t kAssetUri = 0x151E2;    // 260 units
inline constexpr std::size_t kLimitTexts = 0x153EA;  // 4 texts of 36 units
inline constexpr std::size_t kLimitTextStride = 0x48;
inline constexpr int kLimitTextCount = 4;
inline constexpr std::size_t kMarkInText = 0x1550A;  // 16 units
inline constexpr std::size_t kMarkOutText = 0x1552A;
inline constexpr std::size_t kMarkIn = 0x155B4;  // int32
inline constexpr std::size_t kMarkOut = 0x155B8;
inline constexpr std::size_t kContextCycles = 0x155CC;  // uint16 per slot
inline constexpr RingInfo kContextRing{0x15608, 30};
inline constexpr std::size_t kPositions = 0x1650C;   // int32 per slot, fields
inline constexpr std::size_t kPortStates = 0x16584;  // int32 per slot
inline constexpr std::size_t kSpeeds = 0x165FC;      // float per slot

// Video region (the first video resource).
inline constexpr std::size_t kVideoCycles = 0x1777C;  // uint16 per slot
inline constexpr RingInfo kVideoRing{0x177B8, 30};
inline constexpr std::size_t kFieldSizes = 0x177BC;    // uint32 per slot
inline constexpr std::size_t kPixelCodings = 0x17834;  // 36 units per slot
inline constexpr std::size_t kPixelCodingStride = 72;

static_assert(kChannelId == channel_block::kChannelId);
static_assert(kChannelType == channel_block::kChannelType);
static_assert(kApplication == channel_block::kApplication);
static_assert(kVideoFormatName == channel_block::kReferenceStandard);
static_assert(kVideoFormat == channel_block::kVideoFormat);
static_assert(kFieldsPerFrame == channel_block::kFieldsPerFrame);
static_assert(kServerUuid == statusmem::kChannelStatusBegin);
static_assert(kChannelOffline == statusmem::kChannelOffline);
static_assert(kSystemOffline == statusmem::kSystemOffline);
static_assert(kContextUri == statusmem::kContextAssetUri);
static_assert(kContextUriStride == statusmem::kContextAssetUriStride);
static_assert(kContexts == statusmem::kContexts);
static_assert(kMovieName == statusmem::kPortStatusBegin);
static_assert(kContextRing.index == statusmem::kContextRingIndex);
static_assert(kPortStates == statusmem::kContextPortState);
static_assert(kSpeeds == statusmem::kContextSpeed);
static_assert(kVideoCycles == statusmem::kPortStatusEnd);
static_assert(kChannelRing.index == statusmem::kRings[0].indexOffset &&
              kChannelRing.slots == statusmem::kRings[0].slots);
static_assert(kContextRing.slots == statusmem::kRings[1].slots);
static_assert(kVideoRing.index == statusmem::kRings[2].indexOffset &&
              kVideoRing.slots == statusmem::kRings[2].slots);
// Each ring's slots end where the next field begins.
static_assert(kStorage + kStorageEntries * kStorageStride == kChannelCycles);
static_assert(kContextUri + kContexts * kContextUriStride == kGpiInputs);
static_assert(kContextCycles + 2 * kContextRing.slots == kContextRing.index);
static_assert(kVideoCycles + 2 * kVideoRing.slots == kVideoRing.index);
static_assert(kFieldSizes + 4 * kVideoRing.slots == kPixelCodings);
static_assert(kPixelCodings + kPixelCodingStride * kVideoRing.slots <=
              channel_block::kAudioResources);

}  // namespace statusview
