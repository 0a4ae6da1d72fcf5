// The RTS shared memory: one named mapping per runtime folder, written by the
// RTS (the simulator here) and read by every client process through
// CRtsShmem. This header is the one statement of its layout; the writer and
// the readers both include it.
//
// Consistency: the RTS is the only writer. Each channel block carries a
// sequence word (seqlock): the writer makes it odd, writes the block, and
// makes it even again, with release order. A reader copies what it wants
// between two acquire reads of the word and keeps the copy only when both
// reads are equal and even. An update takes microseconds, but a writer
// descheduled in the middle of one holds the word odd for as long as the
// scheduler keeps it off the processor: a reader tries kRtsReadRetries times
// at once, then kRtsReadYields times giving up its time slice, then once a
// millisecond until kRtsUpdateWaitMs have passed, and only then answers
// FALSE. The header's magic and version are written last when the
// memory is first set up, so a reader never trusts a half-made mapping.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "server/ipmclient/RtsStatusTypes.h"

// Name of the mapping, inside the runtime folder (RuntimeObjectName).
inline constexpr const char kRtsShmemName[] = "RtsShmem";

inline constexpr std::uint32_t kRtsShmemMagic = 0x4D535452;  // "RTSM" little-endian
inline constexpr std::uint32_t kRtsShmemVersion = 1;
inline constexpr int kRtsMaxChannels = 16;  // channel numbers 0 to 15
inline constexpr int kRtsContexts = 4;      // context indices 0 to 3
inline constexpr int kRtsMaxAudio = 16;     // audio indices 0 to 15
inline constexpr int kRtsReadRetries = 64;
inline constexpr int kRtsReadYields = 64;
inline constexpr unsigned kRtsUpdateWaitMs = 200;

struct RtsChannelBlock {
    std::atomic<std::uint32_t> sequence;  // +0: odd while the RTS writes
    std::uint32_t present;                // +4: 1 when the RTS runs this channel
    std::uint32_t tickCount;              // +8: fields since the channel started
    std::uint32_t gpiInputMask;           // +12: bit n = GPI input n active
    std::uint32_t gpiOutputMask;          // +16: bit n = GPI output n active
    std::int32_t activeContext;           // +20: context the RTS runs, -1 none
    std::uint32_t audioCount;             // +24: audio resources with status
    std::uint32_t reserved28;             // +28
    // Per context: trigger status, port state, position and idle mode are
    // the members of its TmsPortContextStatus.
    TmsPortContextStatus contexts[kRtsContexts];  // +32 (4 x 56)
    TmsVideoStatus video;                         // +256 (32)
    TmsAudioStatus audio[kRtsMaxAudio];           // +288 (16 x 24)
    TmsTimecodeStatus timecode;                   // +672 (96)
    TmsAncillaryDataStatus ancData;               // +768 (72)
    std::uint8_t reserved840[184];                // +840, to 1024
};
static_assert(offsetof(RtsChannelBlock, contexts) == 32);
static_assert(offsetof(RtsChannelBlock, video) == 256);
static_assert(offsetof(RtsChannelBlock, audio) == 288);
static_assert(offsetof(RtsChannelBlock, timecode) == 672);
static_assert(offsetof(RtsChannelBlock, ancData) == 768);
static_assert(sizeof(RtsChannelBlock) == 1024);

struct RtsShmemHeader {
    std::atomic<std::uint32_t> magic;     // +0: kRtsShmemMagic once set up
    std::uint32_t version;                // +4: kRtsShmemVersion
    std::uint32_t size;                   // +8: sizeof(RtsShmemLayout)
    std::uint32_t channelCount;           // +12: highest channel number + 1
    std::atomic<std::uint32_t> sequence;  // +16: seqlock of timeOfDay
    std::uint32_t timeOfDay;              // +20: packed timecode word, local time
    std::uint32_t writerPid;              // +24: process id of the RTS
    std::uint32_t reserved28;             // +28
    std::uint8_t reserved32[32];          // +32, to 64
};
static_assert(sizeof(RtsShmemHeader) == 64);

struct RtsShmemLayout {
    RtsShmemHeader header;                      // +0
    RtsChannelBlock channels[kRtsMaxChannels];  // +64
};
static_assert(offsetof(RtsShmemLayout, channels) == 64);
static_assert(sizeof(RtsShmemLayout) == 64 + 16 * 1024);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
