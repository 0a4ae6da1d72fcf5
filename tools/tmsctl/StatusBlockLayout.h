// Where the channel component publishes its status in a channel's block of
// the status memory, as a reader in another process sees it (docs/status.md
// describes each field). Offsets are bytes from the start of the block;
// numbers little-endian; texts NUL-terminated UTF-16 in fields of the given
// number of units. Offsets the writers name are their own constants, so the
// reader cannot drift from them; the rest are checked against the rings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/appserverutil/StatusMemoryLayout.h"
#include "tmschannel/channel/ChannelConfig.h"
#include "tmschannel/context/ContextStatusBlock.h"

namespace statusview {

// A ring: the index word the writer advances and its slot count; each of its
// fields is an array of slots at base + stride x slot.
struct RingInfo {
    std::size_t index;
    std::int32_t slots;
};

// Channel region.
inline constexpr std::size_t kChannelId = channel_block::kChannelId;  // 36 units
inline constexpr std::size_t kChannelType = channel_block::kChannelType;
inline constexpr std::size_t kApplication = channel_block::kApplication;
inline constexpr std::size_t kVideoFormatName = channel_block::kReferenceStandard;
inline constexpr std::size_t kServerUuid = channel_block::kAppServerUuid;
inline constexpr std::size_t kNameUnits = channel_block::kNameChars;
inline constexpr std::size_t kVideoFormat = channel_block::kVideoFormat;  // int32
inline constexpr std::size_t kFieldsPerFrame = channel_block::kFieldsPerFrame;
inline constexpr std::size_t kStorage = statusmem::kStorage;
inline constexpr std::size_t kStorageStride = statusmem::kStorageEntrySize;
inline constexpr int kStorageEntries = statusmem::kStorageEntries;
inline constexpr std::size_t kChannelCycles = channel_block::kCycleRing;  // uint16 per slot
inline constexpr RingInfo kChannelRing{channel_block::kRingIndex, statusmem::kRings[0].slots};
inline constexpr std::size_t kChannelOffline = statusmem::kChannelOffline;  // byte
inline constexpr std::size_t kSystemOffline = statusmem::kSystemOffline;    // byte
inline constexpr std::size_t kPreviewContext = channel_block::kPreviewContext;
inline constexpr std::size_t kContextUri = statusmem::kContextAssetUri;  // + stride * context
inline constexpr std::size_t kContextUriStride = statusmem::kContextAssetUriStride;
inline constexpr std::size_t kContextUriUnits = statusmem::kContextAssetUriChars;
inline constexpr int kContexts = statusmem::kContexts;
inline constexpr std::size_t kGpiInputs = channel_block::kGpiInputs;          // bit n = input n
inline constexpr std::size_t kPublisherPid = channel_block::kPublisherPid;    // int32, 0 = none
inline constexpr std::size_t kPublisherTick = channel_block::kPublisherTick;  // uint32 tick count

// Storage entry, relative to its start.
namespace storage = statusmem::storage_entry;

// Context region: the active context's publication.
inline constexpr std::size_t kMovieName = context_block::kMovieName;
inline constexpr std::size_t kAssetUri = context_block::kAssetUri;
inline constexpr std::size_t kLimitTexts = 0x153EA;  // 4 texts of 36 units
inline constexpr std::size_t kLimitTextStride = 0x48;
inline constexpr int kLimitTextCount = 4;
inline constexpr std::size_t kMarkInText = context_block::kMarkInText;
inline constexpr std::size_t kMarkOutText = context_block::kMarkOutText;
inline constexpr std::size_t kMarkIn = context_block::kMarkIn;
inline constexpr std::size_t kMarkOut = context_block::kMarkOut;
inline constexpr std::size_t kContextCycles = context_block::kCycle;  // uint16 per slot
inline constexpr RingInfo kContextRing{context_block::kRingIndex, statusmem::kRings[1].slots};
inline constexpr std::size_t kPositions = context_block::kPosition;  // int32 per slot
inline constexpr std::size_t kPortStates = context_block::kPortState;
inline constexpr std::size_t kSpeeds = context_block::kSpeed;  // float per slot

// Video region (the first video resource).
inline constexpr std::size_t kVideoCycles = 0x1777C;  // uint16 per slot
inline constexpr RingInfo kVideoRing{0x177B8, 30};
inline constexpr std::size_t kFieldSizes = 0x177BC;    // uint32 per slot
inline constexpr std::size_t kPixelCodings = 0x17834;  // 36 units per slot
inline constexpr std::size_t kPixelCodingStride = 72;

// Audio regions, one per audio resource n (0..15): each field at its base
// + stride x n, then a slot array of the ring.
inline constexpr std::size_t kAudioCount = channel_block::kAudioResources;  // int32
inline constexpr int kAudioRegions = statusmem::kAudioRings;
inline constexpr std::size_t kAudioRingIndex = statusmem::kAudioRingIndex;  // + 4n
inline constexpr std::size_t kAudioCycles = 0x180B0;                        // + 60n, uint16
inline constexpr std::size_t kAudioCycleStride = 60;
inline constexpr std::size_t kAudioInputGains = 0x184B0;   // + 120n, float dB
inline constexpr std::size_t kAudioOutputGains = 0x18C30;  // + 120n, float dB
inline constexpr std::size_t kAudioLevels = 0x193B0;       // + 120n, float dB
inline constexpr std::size_t kAudioStride = 120;
inline constexpr std::int32_t kAudioSlots = statusmem::kResourceRingSlots;

// Timecode region (the first timecode resource).
inline constexpr std::size_t kTimecodeCycles = 0x19B50;  // uint16 per slot
inline constexpr RingInfo kTimecodeRing{0x19B8C, 30};
inline constexpr std::size_t kTimecodeWords = 0x19B90;   // uint32 per slot
inline constexpr std::size_t kTimecodeTexts = 0x19C08;   // 16 units per slot
inline constexpr std::size_t kTimeOfDayWords = 0x19FC8;  // uint32 per slot
inline constexpr std::size_t kTimeOfDayTexts = 0x1A040;  // 16 units per slot
inline constexpr std::size_t kTimecodeTextStride = 32;
inline constexpr std::size_t kTimecodeTextUnits = 16;
inline constexpr std::size_t kTimecodeTick = 0x1A400;  // uint32
inline constexpr std::size_t kTimerMode = 0x1A9A4;     // int32

static_assert(kChannelRing.index == statusmem::kRings[0].indexOffset);
static_assert(kTimecodeRing.index == statusmem::kRings[3].indexOffset &&
              kTimecodeRing.slots == statusmem::kRings[3].slots);
// The audio fields of one resource do not run into the next one's.
static_assert(kAudioCycles + kAudioCycleStride * (kAudioRegions - 1) + 2 * kAudioSlots <=
              kAudioRingIndex);
static_assert(kAudioInputGains + kAudioStride * kAudioRegions == kAudioOutputGains);
static_assert(kAudioOutputGains + kAudioStride * kAudioRegions == kAudioLevels);
static_assert(kAudioLevels + kAudioStride * kAudioRegions <= kTimecodeCycles);
static_assert(kTimecodeCycles + 2 * kTimecodeRing.slots == kTimecodeRing.index);
static_assert(kTimecodeTexts + kTimecodeTextStride * 30 == kTimeOfDayWords);
static_assert(kTimeOfDayTexts + kTimecodeTextStride * 30 == kTimecodeTick);
static_assert(kContextRing.index == statusmem::kRings[1].indexOffset);
static_assert(kPortStates == statusmem::kContextPortState);
static_assert(kSpeeds == statusmem::kContextSpeed);
static_assert(kVideoCycles == statusmem::kPortStatusEnd);
static_assert(kVideoRing.index == statusmem::kRings[2].indexOffset &&
              kVideoRing.slots == statusmem::kRings[2].slots);
// Each ring's slots end where the next field begins.
static_assert(kStorage + kStorageEntries * kStorageStride == kChannelCycles);
static_assert(kChannelCycles + 2 * kChannelRing.slots <= kChannelOffline);
static_assert(kContextUri + kContexts * kContextUriStride == kGpiInputs);
// The publisher's fields lie in the gap after the gang words, before the context region.
static_assert(channel_block::kGangOrder + 4 <= kPublisherPid &&
              kPublisherPid + 4 == kPublisherTick && kPublisherTick + 4 <= kMovieName);
static_assert(kContextCycles + 2 * kContextRing.slots == kContextRing.index);
static_assert(kVideoCycles + 2 * kVideoRing.slots == kVideoRing.index);
static_assert(kFieldSizes + 4 * kVideoRing.slots == kPixelCodings);
static_assert(kPixelCodings + kPixelCodingStride * kVideoRing.slots <=
              channel_block::kAudioResources);

}  // namespace statusview
