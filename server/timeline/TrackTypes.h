// Movie track types. A video track's type follows its compression (4 to 7);
// 10 is the type of the empty video tracks a movie is padded with.
#pragma once

namespace tmstrack {
inline constexpr long kAudio = 2;
inline constexpr long kTimecode = 3;
inline constexpr long kVideoFirst = 4;  // 4 to 7: video by compression
inline constexpr long kVideoLast = 7;
inline constexpr long kAncillaryData = 9;
inline constexpr long kVideo = 10;

// The bytes of the media data block stored with every segment, and where in
// it the encode file type sits (little-endian 32-bit).
inline constexpr int kMediaDataSize = 48;
inline constexpr int kMediaDataFileTypeOffset = 32;

constexpr bool IsVideo(long type) {
    return (type >= kVideoFirst && type <= kVideoLast) || type == kVideo;
}
}  // namespace tmstrack
