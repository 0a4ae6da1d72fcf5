// What a context keeps of its status between two status passes: the RTS's
// last report (the 40-byte status record), the figures derived from it, the
// movie's properties, and what it read back from the channel's status
// block. Guarded by the context's status lock (taken inside the context
// lock, never around it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/appserverutil/StatusMemoryLayout.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/context/ContextRecord.h"

struct ContextStatusBlock {
    std::uint16_t cycle = 0;
    std::uint32_t rtsTick = 0;
    context_record::StatusRecord record{};
    float percentComplete = 0.0f;
    float sectionPercent = 0.0f;
    std::string durationText = "00:00:00:00";
    std::string countdownText = "00:00:00:00";
    std::string sectionCountdownText = "00:00:00:00";
    std::string eventCountdownText = "00:00:00:00";
    std::string positionText = "xx:xx:xx:xx";
    // The movie's (SaveMovieStatus; the preview save sets name and URI).
    std::string movieName;
    std::string datasetName;
    std::string assetUri;
    std::string markInText;
    std::string markOutText;
    std::string assetType;
    std::string startTimecodeText;
    std::int32_t startTimecode = static_cast<std::int32_t>(0x80000000u);
    std::int32_t firstTimecodeMask = static_cast<std::int32_t>(0x80000000u);
    std::int32_t markIn = 0;
    std::int32_t markOut = 0;
    std::int32_t thumbnailMark = -1;
    std::int32_t minMarkIn = 0;
    std::int32_t maxMarkOut = 0;
    bool underConstruction = false;
    bool locked = false;
    bool readOnly = false;
    bool repeat = false;
    CTimecode startTimecodeValue;
    // The play list at the position, as the timeline limits last read it:
    // section and edit (the event) with their starts and lengths, and the
    // four limit texts (section name, edit name, section uuid, edit uuid).
    std::int32_t sectionStart = 0;
    std::int32_t sectionLength = 0;
    std::int32_t eventStart = 0;
    std::int32_t eventLength = 0;
    std::array<std::string, 4> limitTexts{};
    bool pauseAtLimit = false;
    // The volume the context records onto (from the media files it opened
    // for writing); compared with the storage entries by the cut-off.
    std::string recordVolume;
    // Read back from the channel's block by each publication.
    bool channelOffline = false;
    bool systemOffline = false;
    std::array<std::uint8_t, statusmem::kStorageEntries * statusmem::kStorageEntrySize> storage{};
};

// The context region of the channel's status block. Slot k is the ring
// slot of a publication (30 slots); texts are wide, NUL-terminated.
namespace context_block {
inline constexpr std::size_t kMovieName = 0x1519A;   // 36 characters
inline constexpr std::size_t kAssetUri = 0x151E2;    // 260 characters
inline constexpr std::size_t kMarkInText = 0x1550A;  // 16 characters each
inline constexpr std::size_t kMarkOutText = 0x1552A;
inline constexpr std::size_t kStartTimecodeText = 0x1554A;
inline constexpr std::size_t kAssetType = 0x1556A;  // 37 characters
inline constexpr std::size_t kMarkIn = 0x155B4;
inline constexpr std::size_t kMarkOut = 0x155B8;
inline constexpr std::size_t kMinMarkIn = 0x155BC;
inline constexpr std::size_t kMaxMarkOut = 0x155C0;
inline constexpr std::size_t kThumbnailMark = 0x155C4;
inline constexpr std::size_t kUnderConstruction = 0x155C8;  // then locked, read only, repeat
inline constexpr std::size_t kCycle = 0x155CC;              // + 2k
inline constexpr std::size_t kRingIndex = 0x15608;
inline constexpr std::size_t kDurationText = 0x1560C;  // + 32k, 16 characters
inline constexpr std::size_t kCountdownText = 0x159CC;
inline constexpr std::size_t kSectionCountdownText = 0x15D8C;
inline constexpr std::size_t kEventCountdownText = 0x1614C;
inline constexpr std::size_t kPosition = 0x1650C;  // + 4k
inline constexpr std::size_t kPortState = 0x16584;
inline constexpr std::size_t kSpeed = 0x165FC;
inline constexpr std::size_t kPercentComplete = 0x16674;
inline constexpr std::size_t kSectionPercent = 0x166EC;
inline constexpr std::size_t kPositionText = 0x16764;  // + 32k
inline constexpr std::size_t kRecordWord24 = 0x1768C;  // + 4k
inline constexpr std::size_t kRecordWord28 = 0x17704;
inline constexpr std::size_t kTextChars = 16;
// The four texts of the timeline limits, 36 characters each, one after the
// other: section name, edit name (each cut to 35 and a terminator), section
// uuid, edit uuid (the 36 characters without braces, no terminator).
inline constexpr std::size_t kLimitTexts = 0x153EA;
inline constexpr std::size_t kLimitTextStride = 0x48;
inline constexpr std::size_t kLimitNameTexts = 2;
inline constexpr std::size_t kNameChars = 36;
inline constexpr std::size_t kUriChars = 260;
inline constexpr std::size_t kAssetTypeChars = 37;
}  // namespace context_block
