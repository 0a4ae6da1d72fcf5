// The picture index of a recorded video media file: a file beside it, named
// as the media file with ".pix" appended, that the recorder writes and
// CVfsLibWrapper::GetPictureStatus reads. One entry per picture, in the
// order the pictures lie in the media file; a picture is one field.
//
//   offset 0  4 bytes  magic "PIX1"
//   offset 4  entries, 8 bytes each:
//     +0  u32 little-endian  size of the picture in bytes
//     +4  u8                 coding: 1 I, 2 P, 3 B (PixCoding)
//     +5  u8                 structure: 1 top field, 2 bottom field, 3 frame
//     +6  u16                reserved, 0
#pragma once

#include <cstddef>
#include <cstdint>

namespace picture_index {
inline constexpr char kSuffix[] = ".pix";
inline constexpr char kMagic[4] = {'P', 'I', 'X', '1'};
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kEntrySize = 8;
inline constexpr std::size_t kSize = 0;
inline constexpr std::size_t kCoding = 4;
inline constexpr std::size_t kStructure = 5;
}  // namespace picture_index
