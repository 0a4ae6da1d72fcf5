// The channel's settings as its configuration gives them, with their
// defaults, and where they are published in the channel's status block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ChannelConfig {
    std::int32_t channelIndex = -1;
    std::int32_t videoFormat = 255;
    std::int32_t fieldsPerFrame = 2;
    std::string referenceStandard;
    std::string model;
    bool eeAllowed = true;
    std::int32_t gangIndex = -1;
    std::int32_t gangOrder = -1;
    bool singleController = true;
    bool consolidateAudio = false;
    bool consolidateVideo = true;
    bool playSameClip = true;
    bool recordSameClip = true;
    bool multicast = false;
    std::string multicastName;
    std::string controlPort;
    std::string protocol;
    std::string workingVolume = "V:";
    std::string workingBin = "default";
    std::string ltcTimerInput = "Ltc";
    std::string vitcTimerInput = "Vitc";
    std::int32_t stopMode = 0;
    bool localControl = true;
    bool remoteControl = true;
    std::string genMode = "FixedStart";
    std::string timecodeInput = "Internal";
    std::int32_t fixedTimecode = static_cast<std::int32_t>(0x80000000u);
    bool fixedTimecodeDropFrame = false;
    std::int32_t timerMode = 1;
    bool loop = false;
    bool continuousRecord = false;
    std::string continuousRecordLength = "00:00:00:00";
    std::int32_t continuousRecordFields = 0;
    bool autoStop = true;
    bool listPauses = true;
    bool listRepeats = true;
    // Set only through the channel properties, never read from configuration.
    bool continuousRecordSuspended = false;
    // The fastest rewind and fast forward; also what the contexts allow.
    static constexpr float kDefaultShuttleSpeedMin = -32.0f;
    static constexpr float kDefaultShuttleSpeedMax = 32.0f;
    float shuttleSpeedMin = kDefaultShuttleSpeedMin;
    float shuttleSpeedMax = kDefaultShuttleSpeedMax;
    std::int32_t defaultEndMode = 3;
    // The configuration change stamps of the block and their last-seen copies:
    // master, sys, chan, gang, gpin, gpout, remote.
    static constexpr int kChangeStamps = 7;
    std::uint32_t changeStamps[kChangeStamps] = {};
    std::uint32_t lastSeenStamps[kChangeStamps] = {};
};

// The default end mode a stop mode (0 to 4) gives; stop mode 4 (E-to-E)
// falls back to 3 where the board has no E-to-E.
std::int32_t DefaultEndModeFor(std::int32_t stopMode, bool eeAllowed);

// Byte offsets in the channel's status block of what configuration writes.
namespace channel_block {
constexpr std::size_t kChannelId = 0x14514;          // 36 wide characters
constexpr std::size_t kChannelType = 0x1455C;        // 36 wide characters
constexpr std::size_t kApplication = 0x145A4;        // 36 wide characters
constexpr std::size_t kReferenceStandard = 0x145EC;  // 72 wide characters
constexpr std::size_t kVideoFormat = 0x1467C;
constexpr std::size_t kFieldsPerFrame = 0x14680;
constexpr std::size_t kCapabilities1 = 0x150F4;
constexpr std::size_t kCapabilities2 = 0x150F8;
constexpr std::size_t kGangIndex = 0x150FC;
constexpr std::size_t kGangOrder = 0x15100;
constexpr std::size_t kEe = 0x17664;                // one byte
constexpr std::size_t kLoop = 0x17665;              // one byte
constexpr std::size_t kContinuousRecord = 0x17666;  // one byte
constexpr std::size_t kContinuousRecordFields = 0x17668;
constexpr std::size_t kContinuousRecordText = 0x1766C;  // 16 wide characters, up to a ring
constexpr std::size_t kContinuousRecordChars = 16;
constexpr std::size_t kAudioResources = 0x180AC;
constexpr std::size_t kAppServerUuid = 0x14634;  // 36 wide characters
constexpr std::size_t kCycleRing = 0x14888;      // + 2 x slot, uint16
constexpr std::size_t kRingIndex = 0x148C8;
constexpr std::size_t kPreviewContext = 0x148CC;  // -1 when none
constexpr std::size_t kGpiInputs = 0x150F0;
// The process that publishes the channel, and the tick count (GetTickCount,
// shared by every process of the machine) of its last publication, so that
// a reader tells a live channel from one whose process died or whose
// status monitor stopped. In the gap before the context region.
constexpr std::size_t kPublisherPid = 0x15104;   // int32, 0 = none
constexpr std::size_t kPublisherTick = 0x15108;  // uint32
constexpr std::size_t kStampMaster = 0x1A448;
constexpr std::size_t kStampSys = 0x1A44C;
constexpr std::size_t kStampChan = 0x1A454;
constexpr std::size_t kStampMonitor = 0x1A458;
constexpr std::size_t kStampGpin = 0x1A45C;
constexpr std::size_t kStampGpout = 0x1A460;
constexpr std::size_t kStampRemote = 0x1A468;
constexpr std::size_t kStampGang = 0x1A46C;
constexpr std::size_t kControlPort = 0x1A470;     // 36 wide characters
constexpr std::size_t kProtocol = 0x1A4B8;        // 36 wide characters
constexpr std::size_t kWorkingVolume = 0x1A500;   // 260 wide characters
constexpr std::size_t kWorkingBin = 0x1A708;      // 260 wide characters
constexpr std::size_t kVitcTimerInput = 0x1A910;  // 36 wide characters
constexpr std::size_t kLtcTimerInput = 0x1A958;   // 36 wide characters
constexpr std::size_t kStopMode = 0x1A9A0;
constexpr std::size_t kTimerMode = 0x1A9A4;
constexpr std::size_t kLocalControl = 0x1A9A8;            // one byte
constexpr std::size_t kRemoteControl = 0x1A9A9;           // one byte
constexpr std::size_t kFixedTimecodeDropFrame = 0x1A9AA;  // one byte
constexpr std::size_t kNameChars = 36;
// The field ends where the server UUID begins (0x14634).
constexpr std::size_t kReferenceChars = 36;
constexpr std::size_t kPathChars = 260;
// The change stamps in ChannelConfig's order: master, sys, chan, gang,
// gpin, gpout, remote.
constexpr std::size_t kChangeStamps[] = {kStampMaster, kStampSys,   kStampChan,  kStampGang,
                                         kStampGpin,   kStampGpout, kStampRemote};
}  // namespace channel_block
