// The server-wide status memory: one named mapping per runtime folder with
// one block per channel, written by the channel components and read by every
// process of the server. Offsets are bytes from the start of a channel's
// block; integers are little-endian, texts NUL-terminated UTF-16.
//
// Only the places this library itself reads or writes are named here; the
// channel component's own regions (channel, contexts, resources) lie between
// them at the offsets the component documents.
#pragma once

#include <cstddef>
#include <cstdint>

namespace statusmem {

inline constexpr const char kMappingName[] = "StatusMemory";
inline constexpr const char kMutexName[] = "StatusMemoryMutex";  // CSharedMemory's default
inline constexpr int kMaxChannels = 16;
inline constexpr std::size_t kBlockSize = 0x20000;  // the component writes up to 0x1A9AC
inline constexpr std::size_t kMemorySize = kBlockSize * kMaxChannels;
inline constexpr unsigned long kMutexTimeoutMs = 5000;

// Offline flags (bytes, nonzero = offline).
// The channel's four storage entries, 128 bytes each (name, total and free
// bytes, remaining record time, its text, state).
inline constexpr std::size_t kStorage = 0x14688;
inline constexpr int kStorageEntries = 4;
inline constexpr std::size_t kStorageEntrySize = 128;
// Within a storage entry.
namespace storage_entry {
inline constexpr std::size_t kVolume = 0;  // 36 wide characters
inline constexpr std::size_t kTotalBytes = 72;
inline constexpr std::size_t kFreeBytes = 80;
inline constexpr std::size_t kRemainingFields = 88;
inline constexpr std::size_t kRemainingText = 92;  // 16 wide characters
inline constexpr std::size_t kTimeChars = 16;
inline constexpr std::size_t kState = 124;  // 0 unavailable, 1 available, 2 full
}  // namespace storage_entry
inline constexpr std::size_t kChannelOffline = 0x148C4;
inline constexpr std::size_t kSystemOffline = 0x148C5;

// Asset URI of context i: 0x148D0 + 0x208 * i, 260 UTF-16 units.
inline constexpr std::size_t kContextAssetUri = 0x148D0;
inline constexpr std::size_t kContextAssetUriStride = 0x208;
inline constexpr std::size_t kContextAssetUriChars = 0x208 / 2;
inline constexpr int kContexts = 4;

// The context region that ClearPortStatus empties: from the movie name to the
// end of the position texts (30 slots of 32 bytes from 0x16764), and the two
// record word rings. Between them lie the channel's own E-to-E, loop and
// continuous-record bytes (0x17664-0x1768B), which a port's clear keeps.
struct ByteRange {
    std::size_t begin;
    std::size_t end;
};
inline constexpr std::size_t kPortStatusBegin = 0x1519A;
inline constexpr std::size_t kPortStatusEnd = 0x1777C;
inline constexpr ByteRange kPortStatusRanges[] = {
    {kPortStatusBegin, 0x16B24},  // movie texts and marks .. position texts
    {0x1768C, kPortStatusEnd},    // record words 24 and 28
};

// Rings: the index word that IncrementIndex advances, and its slot count.
struct Ring {
    std::size_t indexOffset;
    std::int32_t slots;
};
inline constexpr std::size_t kContextRingIndex = 0x15608;
inline constexpr std::size_t kContextPortState = 0x16584;  // + 4 * slot, int32
inline constexpr std::size_t kContextSpeed = 0x165FC;      // + 4 * slot, float
inline constexpr std::size_t kAudioRingIndex = 0x18470;    // + 4 * resource number 0..15
inline constexpr Ring kRings[] = {
    // The channel ring holds 30 slots: slots 30 and 31 would lie on the
    // offline bytes at 0x148C4.
    {0x148C8, 30},            // channel region
    {kContextRingIndex, 30},  // context region
    {0x177B8, 30},            // video region
    {0x19B8C, 30},            // timecode region
    {0x1A440, 30},            // ancillary-data region
};
inline constexpr int kAudioRings = 16;
inline constexpr std::int32_t kResourceRingSlots = 30;

// Published status ends before here; the configuration change stamps and
// what follows are kept by ClearChannelStatus.
inline constexpr std::size_t kChannelStatusBegin = 0x14634;
inline constexpr std::size_t kChangeStampsBegin = 0x1A448;

// The context thumbnail: a uint32 byte count, then the image bytes.
inline constexpr std::size_t kThumbnail = 0x1B000;
inline constexpr std::size_t kThumbnailMaxBytes = 0x4000 - 4;
static_assert(kThumbnail + 4 + kThumbnailMaxBytes <= kBlockSize);

}  // namespace statusmem
