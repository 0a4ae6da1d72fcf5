#include "platform/mmio/Mmio.h"

#include <algorithm>
#include <memory>

#include "platform/mmio/MmioFile.h"
#include "platform/mmio/RiffFormat.h"

namespace {

constexpr DWORD kOpenFlags = MMIO_RWMODE | MMIO_CREATE | MMIO_ALLOCBUF;
constexpr LONGLONG kMaxPos = 0x7FFFFFFF;

bool IsForm(FOURCC id) {
    return id == FOURCC_RIFF || id == FOURCC_LIST;
}

}  // namespace

FOURCC mmioStringToFOURCC(const char* sz, UINT flags) {
    char c[4] = {' ', ' ', ' ', ' '};
    for (int i = 0; sz != nullptr && i < 4 && sz[i] != '\0'; ++i) {
        char ch = sz[i];
        if ((flags & MMIO_TOUPPER) && ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        }
        c[i] = ch;
    }
    return mmioFOURCC(c[0], c[1], c[2], c[3]);
}

HMMIO mmioOpen(const char* file, MMIOINFO* info, DWORD flags) {
    UINT error = MMSYSERR_NOERROR;
    std::unique_ptr<CMmioFile> f;
    if ((flags & ~kOpenFlags) != 0 || (flags & MMIO_RWMODE) == MMIO_RWMODE) {
        error = MMSYSERR_INVALFLAG;
    } else if (info != nullptr && info->fccIOProc == FOURCC_MEM) {
        f = CMmioFile::OpenMemory(*info, flags, &error);
    } else if (info != nullptr && info->fccIOProc != 0 && info->fccIOProc != FOURCC_DOS) {
        error = MMSYSERR_INVALPARAM;  // no other I/O procedures exist here
    } else if (file == nullptr || file[0] == '\0') {
        error = MMSYSERR_INVALPARAM;
    } else {
        f = CMmioFile::OpenDisk(file, info, flags, &error);
    }
    if (info != nullptr) {
        info->wErrorRet = error;
    }
    if (!f) {
        return nullptr;
    }
    HMMIO h = f.release();
    if (info != nullptr) {
        info->hmmio = h;
    }
    return h;
}

MMRESULT mmioClose(HMMIO h, UINT flags) {
    if (h == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (flags != 0) {
        return MMSYSERR_INVALFLAG;
    }
    std::unique_ptr<CMmioFile> owner(h);
    return owner->Close();
}

LONG mmioRead(HMMIO h, void* pch, LONG cch) {
    return h == nullptr ? -1 : h->Read(pch, cch);
}

LONG mmio_detail::Write(HMMIO h, const void* pch, LONG cch) {
    return h == nullptr ? -1 : h->Write(pch, cch);
}

LONG mmioSeek(HMMIO h, LONG offset, int origin) {
    if (h == nullptr) {
        return -1;
    }
    LONGLONG base;
    switch (origin) {
        case SEEK_SET:
            base = 0;
            break;
        case SEEK_CUR:
            base = h->Tell();
            break;
        case SEEK_END:
            base = h->Size();
            break;
        default:
            return -1;
    }
    const LONGLONG target = base + offset;
    if (!h->SeekTo(target)) {
        return -1;
    }
    return static_cast<LONG>(target);
}

MMRESULT mmioFlush(HMMIO h, UINT flags) {
    if (h == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (flags != 0) {
        return MMSYSERR_INVALFLAG;
    }
    return h->Flush();
}

MMRESULT mmioGetInfo(HMMIO h, MMIOINFO* info, UINT flags) {
    if (h == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (info == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    if (flags != 0) {
        return MMSYSERR_INVALFLAG;
    }
    h->GetInfo(info);
    return MMSYSERR_NOERROR;
}

MMRESULT mmio_detail::CreateChunk(HMMIO h, MMCKINFO* ck, UINT flags) {
    if (h == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (ck == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    if (flags != 0 && flags != MMIO_CREATERIFF && flags != MMIO_CREATELIST) {
        return MMSYSERR_INVALFLAG;
    }
    if (!h->CanWrite()) {
        return MMIOERR_CANNOTWRITE;
    }
    const LONGLONG start = h->Tell();
    const bool form = flags != 0;
    const LONG headerSize = form ? riff::kFormHeaderSize : riff::kHeaderSize;
    if (start + headerSize > kMaxPos) {
        return MMIOERR_CANNOTWRITE;
    }
    if (flags == MMIO_CREATERIFF) {
        ck->ckid = FOURCC_RIFF;
    } else if (flags == MMIO_CREATELIST) {
        ck->ckid = FOURCC_LIST;
    }
    if (BYTE* p = h->WriteSpan(headerSize)) {
        riff::StoreLe32(p + riff::kIdOffset, ck->ckid);
        riff::StoreLe32(p + riff::kSizeOffset, ck->cksize);
        if (form) {
            riff::StoreLe32(p + riff::kTypeOffset, ck->fccType);
        }
    } else {
        BYTE header[riff::kFormHeaderSize];
        riff::StoreLe32(header + riff::kIdOffset, ck->ckid);
        riff::StoreLe32(header + riff::kSizeOffset, ck->cksize);
        riff::StoreLe32(header + riff::kTypeOffset, ck->fccType);
        // Check for room first so that a full fixed-size file gets no half header.
        if (!h->Reserve(headerSize)) {
            return MMIOERR_CANNOTEXPAND;
        }
        if (h->Write(header, headerSize) != headerSize) {
            h->SeekTo(start);
            return MMIOERR_CANNOTWRITE;
        }
    }
    ck->dwDataOffset = static_cast<DWORD>(start + riff::kHeaderSize);
    ck->dwFlags = MMIO_DIRTY;
    return MMSYSERR_NOERROR;
}

MMRESULT mmio_detail::Ascend(HMMIO h, MMCKINFO* ck, UINT flags) {
    if (h == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (ck == nullptr || ck->dwDataOffset < riff::kHeaderSize) {
        return MMSYSERR_INVALPARAM;
    }
    if (flags != 0) {
        return MMSYSERR_INVALFLAG;
    }
    const LONGLONG dataOffset = ck->dwDataOffset;
    if (ck->dwFlags & MMIO_DIRTY) {
        // The current position ends the data written into the chunk.
        const LONGLONG end = h->Tell();
        if (end < dataOffset) {
            return MMSYSERR_INVALPARAM;
        }
        const auto size = static_cast<DWORD>(end - dataOffset);
        if (size & 1u) {
            // Odd data gets one zero pad byte that the size does not count,
            // as the multimedia API writes it.
            static constexpr BYTE kPad = 0;
            if (BYTE* p = h->WriteSpan(1)) {
                *p = kPad;
            } else if (!h->Reserve(1)) {
                return MMIOERR_CANNOTEXPAND;
            } else if (h->Write(&kPad, 1) != 1) {
                return MMIOERR_CANNOTWRITE;
            }
        }
        const LONGLONG sizeField = dataOffset - riff::kHeaderSize + riff::kSizeOffset;
        if (size != ck->cksize) {
            if (BYTE* p = h->ContentAt(sizeField, 4)) {
                riff::StoreLe32(p, size);
            } else {
                BYTE field[4];
                riff::StoreLe32(field, size);
                if (!h->SeekTo(sizeField)) {
                    return MMIOERR_CANNOTSEEK;
                }
                if (h->Write(field, 4) != 4) {
                    return MMIOERR_CANNOTWRITE;
                }
            }
            ck->cksize = size;
        }
        ck->dwFlags &= ~MMIO_DIRTY;
    }
    const LONGLONG target = dataOffset + static_cast<LONGLONG>(riff::PaddedSize(ck->cksize));
    if (h->SeekTo(target)) {
        return MMSYSERR_NOERROR;
    }
    // An odd last chunk whose writer left out the pad byte: stop at the end.
    if ((ck->cksize & 1u) && target - 1 == h->Size() && h->SeekTo(target - 1)) {
        return MMSYSERR_NOERROR;
    }
    return MMIOERR_CANNOTSEEK;
}

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, UINT flags) {
    if (h == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (ck == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    FOURCC wantId = 0;
    FOURCC wantType = 0;
    switch (flags) {
        case 0:
            break;
        case MMIO_FINDCHUNK:
            wantId = ck->ckid;
            break;
        case MMIO_FINDRIFF:
            wantId = FOURCC_RIFF;
            wantType = ck->fccType;
            break;
        case MMIO_FINDLIST:
            wantId = FOURCC_LIST;
            wantType = ck->fccType;
            break;
        default:
            return MMSYSERR_INVALFLAG;
    }
    const LONGLONG start = h->Tell();
    LONGLONG end = h->Size();
    if (parent != nullptr) {
        const LONGLONG parentData = parent->dwDataOffset;
        const LONGLONG parentEnd = parentData + parent->cksize;
        if (start < parentData || start >= parentEnd) {
            return MMIOERR_CHUNKNOTFOUND;
        }
        end = std::min(end, parentEnd);
    }
    LONGLONG pos = start;
    MMRESULT result;
    for (;;) {
        const LONGLONG left = end - pos;
        if (left < riff::kHeaderSize) {
            // No room for another header ends the search, as the multimedia
            // API does, also when a few stray bytes are left.
            result = MMIOERR_CHUNKNOTFOUND;
            break;
        }
        BYTE header[riff::kFormHeaderSize];
        const LONG want = left >= riff::kFormHeaderSize ? riff::kFormHeaderSize : riff::kHeaderSize;
        if (!h->SeekTo(pos)) {
            result = MMIOERR_CANNOTSEEK;
            break;
        }
        if (h->Read(header, want) != want) {
            result = MMIOERR_CANNOTREAD;
            break;
        }
        const FOURCC id = riff::LoadLe32(header + riff::kIdOffset);
        const DWORD size = riff::LoadLe32(header + riff::kSizeOffset);
        const LONGLONG dataOffset = pos + riff::kHeaderSize;
        // A size past the parent or the file is corruption, never a licence
        // to read beyond it.
        if (size > end - dataOffset) {
            result = MMIOERR_INVALIDFILE;
            break;
        }
        const bool form = IsForm(id);
        FOURCC type = 0;
        if (form) {
            if (size < riff::kTypeSize) {
                result = MMIOERR_INVALIDFILE;
                break;
            }
            type = riff::LoadLe32(header + riff::kTypeOffset);  // in range: size >= 4
        }
        if ((wantId == 0 || id == wantId) && (wantType == 0 || type == wantType)) {
            ck->ckid = id;
            ck->cksize = size;
            ck->fccType = type;
            ck->dwDataOffset = static_cast<DWORD>(dataOffset);
            ck->dwFlags = 0;
            h->SeekTo(dataOffset + (form ? riff::kTypeSize : 0));
            return MMSYSERR_NOERROR;
        }
        pos = dataOffset + static_cast<LONGLONG>(riff::PaddedSize(size));
    }
    h->SeekTo(start);
    return result;
}
