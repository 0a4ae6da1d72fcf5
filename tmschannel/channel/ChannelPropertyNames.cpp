#include "tmschannel/channel/ChannelPropertyNames.h"

namespace channel_property {

namespace {
using T = ChannelPropertyType;
}  // namespace

const std::vector<ChannelPropertyName>& All() {
    static const std::vector<ChannelPropertyName> names = {
        {"autostop", kAutoStop, T::kBool, true},
        {"listpauses", kListPauses, T::kBool, true},
        {"listrepeats", kListRepeats, T::kBool, true},
        {"audiopair", kAudioPair, T::kNone, true},
        {"ganged", kGanged, T::kBool, false},
        {"gangindex", kGangIndex, T::kLong, true},
        {"playsameclip", kPlaySameClip, T::kBool, false},
        {"recordsameclip", kRecordSameClip, T::kBool, false},
        {"multicast", kMulticast, T::kBool, false},
        {"multicastname", kMulticastName, T::kString, false},
        {"protocol", kProtocol, T::kString, true},
        {"workingvolume", kWorkingVolume, T::kString, true},
        {"workingbin", kWorkingBin, T::kString, true},
        {"stopmode", kStopMode, T::kLong, true},
        {"timermode", kTimerMode, T::kLong, true},
        {"localcontrol", kLocalControl, T::kBool, true},
        {"fixedtimecodedf", kFixedTimecodeDf, T::kBool, true},
        {"remotecontrol", kRemoteControl, T::kBool, true},
        {"controlport", kControlPort, T::kString, true},
        {"channeltype", kChannelType, T::kString, false},
        {"channelname", kChannelName, T::kString, false},
        {"channelid", kChannelId, T::kString, false},
        {"gangorder", kGangOrder, T::kLong, false},
        {"loopplayback", kLoopPlayback, T::kBool, true},
        {"aspectratio", kAspectRatio, T::kResource, true},
        {"singlecontroller", kSingleController, T::kBool, true},
        {"consolidateaudio", kConsolidateAudio, T::kBool, true},
        {"consolidatevideo", kConsolidateVideo, T::kBool, true},
        {"numa", kNumA, T::kLong, false},
        {"numaforrecord", kNumAForRecord, T::kLong, false},
        {"numv", kNumV, T::kLong, false},
        {"numvforrecord", kNumVForRecord, T::kLong, false},
        {"etoe", kEtoE, T::kBool, true},
        {"continuousrecord", kContinuousRecord, T::kBool, true},
        {"contreclength", kContRecLength, T::kLong, true},
        {"suspendcontrec", kSuspendContRec, T::kBool, true},
        {"bidirectional", kBidirectional, T::kBool, true},
        {"hdinput", kHdInput, T::kResource, false},
        {"ltctimerinput", kLtcTimerInput, T::kString, true},
        {"vitctimerinput", kVitcTimerInput, T::kString, true},
        {"defaultafd", kDefaultAfd, T::kResource, true},
    };
    return names;
}

const ChannelPropertyName* Find(std::string_view name) {
    for (const ChannelPropertyName& entry : All()) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace channel_property
