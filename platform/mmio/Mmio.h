// Multimedia file I/O: buffered RIFF reading and writing over memory buffers
// and disk files, with the calls, flags, records and result codes of the
// multimedia I/O API the RTS message code was written against.
//
// Thread safety: a handle is used by one thread at a time. A message is built
// by one thread and may then be handed to another (the RTS message thread),
// which is fine as long as the hand-over itself synchronises. Distinct handles
// are independent and may be used from different threads at once.
//
// Files
//   mmioOpen(nullptr or name, info, flags) opens a memory file when
//   info->fccIOProc is FOURCC_MEM, otherwise the named disk file (POSIX I/O).
//   Every handle must be closed with mmioClose (CMmioHandle does it).
//
// Memory files (info->fccIOProc == FOURCC_MEM)
//   pchBuffer/cchBuffer  the caller's buffer and its capacity. With pchBuffer
//                        null the layer allocates cchBuffer zero bytes itself.
//   adwInfo[0]           growth increment in bytes; 0 makes the file fixed-size,
//                        so writing past the capacity writes what fits and
//                        chunk calls fail with MMIOERR_CANNOTEXPAND. When a file
//                        over a caller's buffer has to grow, its contents move to
//                        a buffer the layer owns: the caller's buffer is no longer
//                        written, and mmioGetInfo tells the new pointer.
//   MMIO_CREATE          the file starts empty (its end is at offset 0);
//                        without it the whole buffer is the file's content.
//   mmioGetInfo          pchBuffer = start of the bytes, cchBuffer = capacity,
//                        pchEndRead = end of the content (its size is
//                        pchEndRead - pchBuffer), pchNext = current position.
//                        The pointers stay valid until the next call that grows
//                        the file or until mmioClose.
//   A memory file cannot seek before 0 or past the end of its content, and
//   nothing ever reads or writes outside the buffer.
//
// Disk files
//   MMIO_CREATE creates or truncates the file. MMIO_ALLOCBUF adds an I/O
//   buffer of cchBuffer bytes (MMIO_DEFAULTBUFFER when 0) that mmioFlush and
//   mmioClose write out; without it every call goes straight to the file. A
//   disk file may be sought past its end (a later write leaves a hole of zero
//   bytes). A disk file opened here is assumed not to be resized by anyone
//   else while it is open. Direct access to the I/O buffer is not offered:
//   mmioGetInfo reports pchBuffer as null for disk files.
//
// Chunks (RiffFormat.h gives the byte layout)
//   mmioCreateChunk writes a header at the current position (12 bytes with the
//   form type for MMIO_CREATERIFF / MMIO_CREATELIST) and marks the record
//   MMIO_DIRTY. mmioAscend on a dirty record takes the current position as the
//   end of the data, writes one zero pad byte when the data size is odd,
//   patches the size field when it differs from the record's cksize, and
//   leaves the position after the pad byte. mmioAscend on a record filled by
//   mmioDescend moves to the end of the chunk plus its pad byte.
//   mmioDescend reads the header at the current position; with MMIO_FINDCHUNK,
//   MMIO_FINDRIFF or MMIO_FINDLIST it skips whole chunks (data plus pad) until
//   one matches, the end of the parent's data or the end of the file. It fails
//   with MMIOERR_CHUNKNOTFOUND when the position is outside the parent, when
//   no chunk matches, or when fewer than 8 bytes are left for a header, as the
//   multimedia API does, and with MMIOERR_INVALIDFILE (272) when a header
//   claims more bytes than its parent or the file holds, or when a RIFF or
//   LIST chunk is too small for its form type. On any failure the position is
//   left where the search started.
//
// mmioWrite, mmioCreateChunk and mmioAscend are inline: a chunk (plain, RIFF
// or LIST) in a memory file that has room is built in the caller without a
// call or an allocation (MmioInline.h); every other case takes the general
// path.
//
// Results: the chunk calls, mmioClose, mmioFlush and mmioGetInfo return
// MMSYSERR_NOERROR or one of the codes below. mmioRead and mmioWrite return
// the byte count done (short at the end of a file or a full fixed-size memory
// file) or -1 on an error; mmioSeek returns the new position or -1.
#pragma once

#include <cstdio>  // SEEK_SET, SEEK_CUR, SEEK_END

#include "platform/kernel/WinTypes.h"

using FOURCC = DWORD;
using MMRESULT = UINT;
using HPSTR = char*;

class CMmioFile;
// The open file behind a handle; opaque to callers.
using HMMIO = CMmioFile*;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
    return FOURCC{static_cast<BYTE>(a)} | (FOURCC{static_cast<BYTE>(b)} << 8) |
           (FOURCC{static_cast<BYTE>(c)} << 16) | (FOURCC{static_cast<BYTE>(d)} << 24);
}

constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');
constexpr FOURCC FOURCC_MEM = mmioFOURCC('M', 'E', 'M', ' ');
constexpr FOURCC FOURCC_DOS = mmioFOURCC('D', 'O', 'S', ' ');

// Result codes, with the multimedia API's numbers.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMIOERR_BASE = 256;
constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;       // 257
constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;        // 258
constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;         // 259
constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;        // 260
constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;         // 261
constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;        // 262
constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;         // 263
constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;       // 264
constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;      // 265
constexpr MMRESULT MMIOERR_UNBUFFERED = MMIOERR_BASE + 10;        // 266
constexpr MMRESULT MMIOERR_PATHNOTFOUND = MMIOERR_BASE + 11;      // 267
constexpr MMRESULT MMIOERR_ACCESSDENIED = MMIOERR_BASE + 12;      // 268
constexpr MMRESULT MMIOERR_SHARINGVIOLATION = MMIOERR_BASE + 13;  // 269
constexpr MMRESULT MMIOERR_NETWORKERROR = MMIOERR_BASE + 14;      // 270
constexpr MMRESULT MMIOERR_TOOMANYOPENFILES = MMIOERR_BASE + 15;  // 271
constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;       // 272: corrupt chunk header

// mmioOpen flags.
constexpr DWORD MMIO_READ = 0x00000000;
constexpr DWORD MMIO_WRITE = 0x00000001;
constexpr DWORD MMIO_READWRITE = 0x00000002;
constexpr DWORD MMIO_RWMODE = 0x00000003;
constexpr DWORD MMIO_CREATE = 0x00001000;
constexpr DWORD MMIO_ALLOCBUF = 0x00010000;
constexpr LONG MMIO_DEFAULTBUFFER = 8192;

// MMCKINFO::dwFlags: the chunk was created and its size may need patching.
constexpr DWORD MMIO_DIRTY = 0x10000000;

// mmioStringToFOURCC flag.
constexpr UINT MMIO_TOUPPER = 0x0010;

// mmioDescend flags (one at most).
constexpr UINT MMIO_FINDCHUNK = 0x0010;
constexpr UINT MMIO_FINDRIFF = 0x0020;
constexpr UINT MMIO_FINDLIST = 0x0040;

// mmioCreateChunk flags (one at most).
constexpr UINT MMIO_CREATERIFF = 0x0020;
constexpr UINT MMIO_CREATELIST = 0x0040;

struct MMIOINFO {
    DWORD dwFlags = 0;             // open flags (reported by mmioGetInfo)
    FOURCC fccIOProc = 0;          // FOURCC_MEM for a memory file; 0 or FOURCC_DOS for a disk file
    UINT wErrorRet = 0;            // mmioOpen: MMSYSERR_NOERROR or why it failed
    LONG cchBuffer = 0;            // memory file capacity, or disk I/O buffer size
    HPSTR pchBuffer = nullptr;     // memory file bytes
    HPSTR pchNext = nullptr;       // current position (memory files)
    HPSTR pchEndRead = nullptr;    // end of content (memory files)
    HPSTR pchEndWrite = nullptr;   // end of capacity (memory files)
    LONG lBufOffset = 0;           // always 0
    LONG lDiskOffset = 0;          // current position
    DWORD adwInfo[3] = {0, 0, 0};  // memory files: [0] growth increment
    HMMIO hmmio = nullptr;         // set by mmioOpen on success
};

struct MMCKINFO {
    FOURCC ckid = 0;         // chunk id
    DWORD cksize = 0;        // data size, pad byte excluded
    FOURCC fccType = 0;      // form or list type (RIFF and LIST)
    DWORD dwDataOffset = 0;  // file offset of the data (just after the 8-byte header)
    DWORD dwFlags = 0;       // MMIO_DIRTY after mmioCreateChunk
};

// Converts up to four characters to a code, padding short names with blanks
// ("ctx" -> "ctx "); MMIO_TOUPPER upper-cases them first.
FOURCC mmioStringToFOURCC(const char* sz, UINT flags);

// Returns null on failure; info->wErrorRet (when info is given) says why.
HMMIO mmioOpen(const char* file, MMIOINFO* info, DWORD flags);
// Flushes and closes; the handle is gone even when the flush fails.
// flags must be 0 (otherwise MMSYSERR_INVALFLAG and the handle stays open).
MMRESULT mmioClose(HMMIO h, UINT flags);
LONG mmioRead(HMMIO h, void* pch, LONG cch);
inline LONG mmioWrite(HMMIO h, const void* pch, LONG cch);
LONG mmioSeek(HMMIO h, LONG offset, int origin);
// Writes the I/O buffer of a buffered disk file out (no-op otherwise).
MMRESULT mmioFlush(HMMIO h, UINT flags);
MMRESULT mmioGetInfo(HMMIO h, MMIOINFO* info, UINT flags);

inline MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, UINT flags);
inline MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, UINT flags);
// With MMIO_FINDCHUNK, ck->ckid is the id looked for; with MMIO_FINDRIFF or
// MMIO_FINDLIST, ck->fccType is the form or list type looked for.
MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, UINT flags);

// The general paths of the inline calls above.
namespace mmio_detail {
LONG Write(HMMIO h, const void* pch, LONG cch);
MMRESULT CreateChunk(HMMIO h, MMCKINFO* ck, UINT flags);
MMRESULT Ascend(HMMIO h, MMCKINFO* ck, UINT flags);
}  // namespace mmio_detail

// The class behind HMMIO, and with it the inline bodies (MmioInline.h).
#include "platform/mmio/MmioFile.h"
