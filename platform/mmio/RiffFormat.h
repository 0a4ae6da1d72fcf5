// Byte layout of a RIFF chunk, shared by every reader and writer of RIFF data.
//
// Every chunk is a header followed by its data and, when the data has an odd
// length, one zero pad byte that keeps the next chunk on an even offset. The
// pad byte is not counted in the size field. All words are little-endian.
//
//   offset 0  ckid     FOURCC  chunk id ("RIFF", "LIST" or a plain id such as "ctx ")
//   offset 4  cksize   DWORD   bytes of data after this 8-byte header, pad excluded
//   offset 8  fccType  FOURCC  RIFF and LIST only: form or list type; the first
//                              four bytes of the data, so counted in cksize
#pragma once

#include "platform/kernel/WinTypes.h"

namespace riff {

constexpr DWORD kIdOffset = 0;         // ckid
constexpr DWORD kSizeOffset = 4;       // cksize
constexpr DWORD kTypeOffset = 8;       // fccType (RIFF and LIST only)
constexpr DWORD kHeaderSize = 8;       // ckid + cksize
constexpr DWORD kFormHeaderSize = 12;  // ckid + cksize + fccType
constexpr DWORD kTypeSize = 4;         // fccType, counted in cksize

// Size of a chunk's data on disk: the data plus the pad byte of odd sizes.
constexpr ULONGLONG PaddedSize(DWORD cksize) {
    return ULONGLONG{cksize} + (cksize & 1u);
}

inline DWORD LoadLe32(const BYTE* p) {
    return DWORD{p[0]} | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
}

inline void StoreLe32(BYTE* p, DWORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

}  // namespace riff
