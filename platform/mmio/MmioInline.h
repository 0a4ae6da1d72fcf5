// Inline bodies of the calls that build messages, included by Mmio.h. The
// common case, a plain chunk in a memory file that has room, is done in the
// caller with a few stores; everything else goes to the general path in
// Mmio.cpp, which behaves the same for this case.
#pragma once

#include "platform/mmio/Mmio.h"
#include "platform/mmio/MmioFile.h"
#include "platform/mmio/RiffFormat.h"

inline LONG mmioWrite(HMMIO h, const void* pch, LONG cch) {
    return h != nullptr ? h->Write(pch, cch) : -1;
}

namespace mmio_detail {

// The in-place halves of mmioCreateChunk and mmioAscend, for callers that
// want to know which way the call went: true when done; false, with nothing
// changed, when the general path has to do it.
inline bool CreateChunkInPlace(HMMIO h, MMCKINFO* ck, UINT flags) {
    // Plain chunks, and the RIFF and LIST headers that open every message and
    // resource list.
    const bool form = flags == MMIO_CREATERIFF || flags == MMIO_CREATELIST;
    const DWORD headerSize = form ? riff::kFormHeaderSize : riff::kHeaderSize;
    if (h == nullptr || ck == nullptr || (flags != 0 && !form) ||
        h->Tell() + headerSize > 0x7FFFFFFF) {
        return false;
    }
    const LONGLONG start = h->Tell();
    BYTE* p = h->WriteSpan(static_cast<LONG>(headerSize));
    if (p == nullptr) {
        return false;
    }
    if (form) {
        ck->ckid = flags == MMIO_CREATERIFF ? FOURCC_RIFF : FOURCC_LIST;
        riff::StoreLe32(p + riff::kTypeOffset, ck->fccType);
    }
    riff::StoreLe32(p + riff::kIdOffset, ck->ckid);
    riff::StoreLe32(p + riff::kSizeOffset, ck->cksize);
    ck->dwDataOffset = static_cast<DWORD>(start + riff::kHeaderSize);
    ck->dwFlags = MMIO_DIRTY;
    return true;
}

inline bool AscendInPlace(HMMIO h, MMCKINFO* ck, UINT flags) {
    // A dirty chunk of even size: patch the size in place; the position is
    // already its end.
    if (h == nullptr || ck == nullptr || flags != 0 || !(ck->dwFlags & MMIO_DIRTY) ||
        ck->dwDataOffset < riff::kHeaderSize || h->Tell() < ck->dwDataOffset) {
        return false;
    }
    const auto size = static_cast<DWORD>(h->Tell() - ck->dwDataOffset);
    if ((size & 1u) != 0) {
        return false;
    }
    BYTE* p = h->ContentAt(ck->dwDataOffset - riff::kHeaderSize + riff::kSizeOffset, 4);
    if (p == nullptr) {
        return false;
    }
    riff::StoreLe32(p, size);
    ck->cksize = size;
    ck->dwFlags &= ~MMIO_DIRTY;
    return true;
}

}  // namespace mmio_detail

inline MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, UINT flags) {
    return mmio_detail::CreateChunkInPlace(h, ck, flags) ? MMSYSERR_NOERROR
                                                         : mmio_detail::CreateChunk(h, ck, flags);
}

inline MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, UINT flags) {
    return mmio_detail::AscendInPlace(h, ck, flags) ? MMSYSERR_NOERROR
                                                    : mmio_detail::Ascend(h, ck, flags);
}
