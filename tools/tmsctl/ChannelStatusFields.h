// What one snapshot of a channel's status block says, read once into plain
// values: the newest slot of each ring, the fixed fields, the storage
// entries and the publisher's state. tmsctl watch prints these values as
// text, tmsctl serve as JSON, so both show the same reading of the block.
// A region whose newest cycle number is 0 was never published (writers
// count cycles from 1) and is left empty.
//
// Thread safety: plain values; ReadChannelStatus touches nothing but its
// arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/tmsctl/ChannelStatusText.h"
#include "tools/tmsctl/StatusBlockImage.h"

namespace tmsctl {

// The newest slot of a ring and its cycle number. indexValid is false when
// the index word was outside 0 to slots - 1: slot is then 0, and rawIndex
// holds the word. A ring counts as published when its cycle is not 0 or its
// index word is out of range (which a reader must see).
struct RingHead {
    std::int32_t slot = 0;
    std::uint16_t cycle = 0;
    bool indexValid = true;
    std::int32_t rawIndex = 0;
    std::int32_t slots = 0;
};

// The newest slot of a ring and its cycle number; empty when the ring was
// never published.
std::optional<RingHead> ReadRing(const CStatusBlockImage& b, const statusview::RingInfo& ring,
                                 std::size_t cycles);

enum class PublisherState { kNone, kLive, kStale, kGone };

struct PublisherStatus {
    PublisherState state = PublisherState::kNone;
    std::int32_t pid = 0;
    DWORD ageMs = 0;  // since its last cycle; meaningful when live or stale
};

struct StorageStatus {
    int index = 0;
    std::string volume;
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;
    std::uint32_t remainingFields = 0;
    std::string remainingText;
    std::uint32_t state = 0;  // 0 unavailable, 1 available, 2 full
};

struct Mark {
    std::int32_t position = 0;
    std::string text;
};

// The active context's publication.
struct ContextStatus {
    RingHead ring;
    std::int32_t portState = 0;
    std::int32_t position = 0;
    std::string timecode;  // empty for a format without a frame rate
    float speed = 0;
    std::string movie;
    std::string uri;
    Mark markIn;
    Mark markOut;
    std::vector<std::string> limits;  // 4 texts, empty when not set
};

struct VideoStatus {
    RingHead ring;
    std::uint32_t fieldSize = 0;
    std::string pixelCoding;
};

// One audio resource the channel reported; ring empty when it never
// published (the levels are then 0).
struct AudioStatus {
    int index = 0;
    std::optional<RingHead> ring;
    float levelDb = 0;  // dBFS
    float inputGainDb = 0;
    float outputGainDb = 0;
};

// The timecode of the codec's input and the time of day.
struct TimecodeStatus {
    RingHead ring;
    std::string timecode;
    std::uint32_t word = 0;  // the timecode packed, as the RTS gives it
    std::string timeOfDay;
    std::int32_t mode = 0;  // 0 LTC, 1 generator with a fixed start, 2 VITC, 3 generator
};

struct AllocatedContext {
    int index = 0;
    std::string uri;
};

struct ChannelStatus {
    bool blank = true;  // every byte zero: nothing ever written
    std::string id;
    std::string type;
    std::string formatName;
    std::int32_t format = 0;
    std::int32_t fieldsPerFrame = 0;
    std::optional<RingHead> channelRing;  // empty when never published
    std::uint32_t gpiInputs = 0;          // bit n = input n
    bool offline = false;
    bool serverOffline = false;
    PublisherStatus publisher;
    std::vector<StorageStatus> storage;  // only the entries in use
    std::optional<ContextStatus> context;
    std::vector<AllocatedContext> contexts;
    std::optional<VideoStatus> video;
    std::vector<AudioStatus> audio;          // one per audio resource counted, at most 16
    std::optional<TimecodeStatus> timecode;  // empty without a timecode resource
};

ChannelStatus ReadChannelStatus(const CStatusBlockImage& block, const PublisherProbe& probe);

// Port state names as the RTS numbers them; nullptr for another number.
const char* PortStateName(std::int32_t state);
// "unavailable", "available", "full" or "state N".
std::string StorageStateName(std::uint32_t state);
// "LTC", "generator, fixed start", "VITC", "generator" or "unknown".
const char* TimerModeName(std::int32_t mode);
// "live", "stale", "gone" or "none".
const char* PublisherStateName(PublisherState state);

}  // namespace tmsctl
