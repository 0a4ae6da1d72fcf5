// The channel property names clients read and set by name, with the type a
// read answers in and whether the name may be set. Names are lower case;
// the numbers are the ids the property code dispatches on (13, 14 and 39
// have no name).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

enum class ChannelPropertyType : std::uint8_t {
    kNone,      // answers an empty VARIANT
    kBool,      // VT_BOOL
    kLong,      // VT_I4
    kString,    // VT_BSTR
    kResource,  // as the first video resource answers
};

struct ChannelPropertyName {
    const char* name;
    std::int32_t id;
    ChannelPropertyType type;
    bool settable;
};

namespace channel_property {
enum Id : std::int32_t {
    kAutoStop = 0,
    kListPauses = 1,
    kListRepeats = 2,
    kAudioPair = 3,
    kGanged = 4,
    kGangIndex = 5,
    kPlaySameClip = 6,
    kRecordSameClip = 7,
    kMulticast = 8,
    kMulticastName = 9,
    kProtocol = 10,
    kWorkingVolume = 11,
    kWorkingBin = 12,
    kStopMode = 15,
    kTimerMode = 16,
    kLocalControl = 17,
    kFixedTimecodeDf = 18,
    kRemoteControl = 19,
    kControlPort = 20,
    kChannelType = 21,
    kChannelName = 22,
    kChannelId = 23,
    kGangOrder = 24,
    kLoopPlayback = 25,
    kAspectRatio = 26,
    kSingleController = 27,
    kConsolidateAudio = 28,
    kConsolidateVideo = 29,
    kNumA = 30,
    kNumAForRecord = 31,
    kNumV = 32,
    kNumVForRecord = 33,
    kEtoE = 34,
    kContinuousRecord = 35,
    kContRecLength = 36,
    kSuspendContRec = 37,
    kBidirectional = 38,
    kHdInput = 40,
    kLtcTimerInput = 41,
    kVitcTimerInput = 42,
    kDefaultAfd = 43,
};

// Every name in id order.
const std::vector<ChannelPropertyName>& All();
// The entry of a lower-case name; null for a name not in the map.
const ChannelPropertyName* Find(std::string_view name);
}  // namespace channel_property
