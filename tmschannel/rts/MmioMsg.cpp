#include "tmschannel/rts/MmioMsg.h"

#include "platform/mmio/RiffFormat.h"
#include "tmschannel/frame/ErrorFrame.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr HRESULT kCannotCreate = HR(0x80043005);
constexpr HRESULT kShortRead = HR(0x80043006);
constexpr HRESULT kShortWrite = HR(0x80043007);
constexpr HRESULT kCannotAscend = HR(0x80043008);
constexpr HRESULT kCannotOpen = HR(0x8004300a);
constexpr HRESULT kNotMemory = HR(0x8004300b);
constexpr HRESULT kBadSize = HR(0x8004300c);
constexpr HRESULT kCannotSeek = HR(0x8004300d);

}  // namespace

CMmioMsg::CMmioMsg() = default;

CMmioMsg::CMmioMsg(DWORD size) {
    CTmsEntryPoint trace("CMmioMsg::CMmioMsg %d", static_cast<int>(size));
    CheckHr(trace, Create(size));
}

CMmioMsg::~CMmioMsg() {
    Close();
}

HMMIO CMmioMsg::OpenMemory(BYTE* buffer, DWORD size) {
    MMIOINFO info{};
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = reinterpret_cast<HPSTR>(buffer);
    info.cchBuffer = static_cast<LONG>(size);
    // Growth increment 0: the file never grows past the buffer.
    return mmioOpen(nullptr, &info, MMIO_READWRITE);
}

void CMmioMsg::ClearFrom(DWORD end) {
    if (m_buffer && end < m_used) {
        std::memset(m_buffer.get() + end, 0, m_used - end);
        m_used = end;
    }
}

HRESULT CMmioMsg::Create(DWORD size) {
    CTmsEntryPoint trace("CMmioMsg::Create %d", static_cast<int>(size));
    return TMS_ERROR_FRAME(trace, [&] {
        m_mmio.reset();
        m_buffer = std::make_unique<BYTE[]>(size);  // zero-filled
        m_bufferSize = size;
        m_used = 0;
        m_mmio.reset(OpenMemory(m_buffer.get(), size));
        if (!m_mmio) {
            throw static_cast<LONG>(kCannotOpen);
        }
    });
}

HRESULT CMmioMsg::Create(const char* fileName) {
    CTmsEntryPoint trace("CMmioMsg::Create %s", fileName != nullptr ? fileName : "(null)");
    return TMS_ERROR_FRAME(trace, [&] {
        m_mmio.reset();
        m_buffer.reset();
        m_bufferSize = 0;
        m_used = 0;
        m_mmio.reset(mmioOpen(fileName, nullptr, MMIO_CREATE | MMIO_READWRITE));
        if (!m_mmio) {
            throw static_cast<LONG>(kCannotOpen);
        }
    });
}

HRESULT CMmioMsg::Attach(BYTE* buffer, DWORD size) {
    CTmsEntryPoint trace("CMmioMsg::Attach %d", static_cast<int>(size));
    return TMS_ERROR_FRAME(trace, [&] {
        m_mmio.reset();
        m_buffer.reset();
        m_bufferSize = 0;
        m_used = 0;
        m_mmio.reset(OpenMemory(buffer, size));
        if (!m_mmio) {
            throw static_cast<LONG>(kCannotOpen);
        }
    });
}

HRESULT CMmioMsg::CreateRiff(FOURCC form, MMCKINFO* ck) {
    CTmsEntryPoint trace("CMmioMsg::CreateRiff %x %p", form, static_cast<void*>(ck));
    return TMS_ERROR_FRAME(trace, [&] {
        if (mmioSeek(m_mmio.get(), 0, SEEK_SET) == -1) {
            TMS_RAISE(trace, kCannotCreate, "Could not rewind mmio file");
        }
        // The earlier message's bytes are cleared past this one's end when it
        // is finished (Ascend), not all of them here.
        ck->fccType = form;
        const MMRESULT r = mmioCreateChunk(m_mmio.get(), ck, MMIO_CREATERIFF);
        NoteWritten();
        if (r != MMSYSERR_NOERROR) {
            TMS_RAISE(trace, kCannotCreate, "Could not create RIFF chunk");
        }
    });
}

HRESULT CMmioMsg::CreateListTraced(FOURCC listType, MMCKINFO* ck) {
    CTmsEntryPoint trace("CMmioMsg::CreateList %x %p", listType, static_cast<void*>(ck));
    return TMS_ERROR_FRAME(trace, [&] {
        ck->fccType = listType;
        const MMRESULT r = mmioCreateChunk(m_mmio.get(), ck, MMIO_CREATELIST);
        NoteWritten();
        if (r != MMSYSERR_NOERROR) {
            TMS_RAISE(trace, kCannotCreate, "Could not create LIST chunk");
        }
    });
}

HRESULT CMmioMsg::CreateChunkTraced(FOURCC id, const void* data, DWORD size) {
    CTmsEntryPoint trace("CMmioMsg::CreateChunk 0x%x 0x%x %d", id,
                         static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(data)),
                         static_cast<int>(size));
    const HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        MMCKINFO ck{};
        ck.ckid = id;
        if (mmioCreateChunk(m_mmio.get(), &ck, 0) != MMSYSERR_NOERROR) {
            TMS_RAISE(trace, kCannotCreate, "Could not create chunk");
        }
        LONG written = size == 0 ? 0 : mmioWrite(m_mmio.get(), data, static_cast<LONG>(size));
        if (written != static_cast<LONG>(size)) {
            TMS_RAISE(trace, kShortWrite, "Could only write %d bytes of %d for chunk",
                      written < 0 ? 0 : written, static_cast<int>(size));
        }
        DWORD pad = 4 - (size % 4);
        if (pad < 4) {
            static const BYTE zeros[4] = {0, 0, 0, 0};
            LONG padWritten = mmioWrite(m_mmio.get(), zeros, static_cast<LONG>(pad));
            if (padWritten != static_cast<LONG>(pad)) {
                TMS_RAISE(trace, kShortWrite, "Could only write %d bytes of %d for chunk",
                          padWritten < 0 ? 0 : padWritten, static_cast<int>(pad));
            }
        }
        if (mmioAscend(m_mmio.get(), &ck, 0) != MMSYSERR_NOERROR) {
            TMS_RAISE(trace, kCannotAscend, "Could not ascend from chunk");
        }
    });
    // Also after a short write: what did fit is in the buffer.
    NoteWritten();
    return hr;
}

HRESULT CMmioMsg::AscendTraced(MMCKINFO* ck) {
    CTmsEntryPoint trace("CMmioMsg::Ascend");
    return TMS_ERROR_FRAME(trace, [&] {
        const bool endsMessage = EndsMessage(ck);
        const MMRESULT r = mmioAscend(m_mmio.get(), ck, 0);
        NoteWritten();  // an odd chunk's pad byte
        if (r != MMSYSERR_NOERROR) {
            TMS_RAISE(trace, kCannotAscend, "Could not ascend from chunk");
        }
        if (endsMessage && m_buffer) {
            // No byte of an earlier message survives past this one's end.
            ClearFrom(GetMsgSize());
        }
    });
}

namespace {

// Descends as flags say and reports the outcome: found (S_OK), not found
// (S_FALSE), or a malformed message. A corrupt header is never a search that
// found nothing: reading on past what the buffer holds is not an option.
void ReportDescend(CEntryPoint& trace, MMRESULT r, bool* found) {
    if (found != nullptr) {
        *found = r == MMSYSERR_NOERROR;
    }
    if (r == MMIOERR_INVALIDFILE) {
        TMS_RAISE(trace, kShortRead,
                  "Malformed message: a chunk header claims more bytes than its parent or the "
                  "message holds");
    }
    trace.SetResult(r == MMSYSERR_NOERROR ? S_OK : S_FALSE);
}

}  // namespace

HRESULT CMmioMsg::FindRiff(FOURCC form, MMCKINFO* ck, bool* found) {
    CTmsEntryPoint trace("CMmioMsg::FindRiff %x %p", form, static_cast<void*>(ck));
    return TMS_ERROR_FRAME(trace, [&] {
        if (found != nullptr) {
            *found = false;
        }
        if (mmioSeek(m_mmio.get(), 0, SEEK_SET) == -1) {
            TMS_RAISE(trace, kCannotSeek, "Could not rewind mmio file");
        }
        ck->fccType = form;
        ReportDescend(trace, mmioDescend(m_mmio.get(), ck, nullptr, MMIO_FINDRIFF), found);
    });
}

HRESULT CMmioMsg::FindList(FOURCC listType, const MMCKINFO* parent, MMCKINFO* ck, bool* found) {
    CTmsEntryPoint trace("CMmioMsg::FindList %x %p %p", listType, static_cast<const void*>(parent),
                         static_cast<void*>(ck));
    return TMS_ERROR_FRAME(trace, [&] {
        ck->fccType = listType;
        ReportDescend(trace, mmioDescend(m_mmio.get(), ck, parent, MMIO_FINDLIST), found);
    });
}

HRESULT CMmioMsg::FindChunk(FOURCC id, const MMCKINFO* parent, MMCKINFO* ck, bool* found) {
    CTmsEntryPoint trace("CMmioMsg::FindChunk %x %p %p", id, static_cast<const void*>(parent),
                         static_cast<void*>(ck));
    return TMS_ERROR_FRAME(trace, [&] {
        ck->ckid = id;
        ReportDescend(trace, mmioDescend(m_mmio.get(), ck, parent, MMIO_FINDCHUNK), found);
    });
}

HRESULT CMmioMsg::FindNextChunk(MMCKINFO* ck, bool* found) {
    CTmsEntryPoint trace("CMmioMsg::FindNextChunk %p", static_cast<void*>(ck));
    return TMS_ERROR_FRAME(
        trace, [&] { ReportDescend(trace, mmioDescend(m_mmio.get(), ck, nullptr, 0), found); });
}

namespace {

// Steps shared by FindChunkDataPtr and GetDataPtr: the data of the chunk just
// descended into, after checking its size word against the expected size.
const BYTE* CheckedDataPtr(CEntryPoint& trace, HMMIO mmio, const BYTE* buffer, DWORD bufferSize,
                           DWORD expectedSize) {
    LONG pos = mmioSeek(mmio, 0, SEEK_CUR);
    if (pos == -1) {
        TMS_RAISE(trace, kCannotSeek, "Could not get seek position");
    }
    if (pos < 4 || static_cast<DWORD>(pos) > bufferSize) {
        TMS_RAISE(trace, kCannotSeek, "Could not get seek position");
    }
    DWORD size = riff::LoadLe32(buffer + pos - 4);
    if (size != expectedSize) {
        TMS_RAISE(trace, kBadSize, "Chunk size %d does not match expected size of %d",
                  static_cast<int>(size), static_cast<int>(expectedSize));
    }
    if (static_cast<ULONGLONG>(pos) + expectedSize > bufferSize) {
        TMS_RAISE(trace, kShortRead, "Could only read %d bytes of %d for current chunk",
                  static_cast<int>(bufferSize - static_cast<DWORD>(pos)),
                  static_cast<int>(expectedSize));
    }
    return buffer + pos;
}

}  // namespace

HRESULT CMmioMsg::FindChunkDataPtr(FOURCC id, const MMCKINFO* parent, const BYTE** data,
                                   DWORD expectedSize, bool* found) {
    CTmsEntryPoint trace("CMmioMsg::FindChunkDataPtr %x %p", id, static_cast<const void*>(parent));
    return TMS_ERROR_FRAME(trace, [&] {
        if (found != nullptr) {
            *found = false;
        }
        if (!m_buffer) {
            TMS_RAISE(trace, kNotMemory, "ChunkDataPtr only works on memory files");
        }
        MMCKINFO ck{};
        ck.ckid = id;
        ReportDescend(trace, mmioDescend(m_mmio.get(), &ck, parent, MMIO_FINDCHUNK), nullptr);
        if (trace.Result() != S_OK) {
            return;
        }
        const BYTE* p =
            CheckedDataPtr(trace, m_mmio.get(), m_buffer.get(), m_bufferSize, expectedSize);
        if (mmioAscend(m_mmio.get(), &ck, 0) != MMSYSERR_NOERROR) {
            TMS_RAISE(trace, kCannotAscend, "Could not ascend from chunk");
        }
        *data = p;
        if (found != nullptr) {
            *found = true;
        }
    });
}

HRESULT CMmioMsg::GetDataPtr(const BYTE** data, DWORD expectedSize) {
    CTmsEntryPoint trace("CMmioMsg::GetDataPtr");
    return TMS_ERROR_FRAME(trace, [&] {
        *data = nullptr;
        if (!m_buffer) {
            TMS_RAISE(trace, kNotMemory, "ChunkDataPtr only works on memory files");
        }
        *data = CheckedDataPtr(trace, m_mmio.get(), m_buffer.get(), m_bufferSize, expectedSize);
    });
}

HRESULT CMmioMsg::ReadChunkData(void* destination, DWORD count) {
    CTmsEntryPoint trace("CMmioMsg::ReadChunkData");
    return TMS_ERROR_FRAME(trace, [&] {
        LONG n = mmioRead(m_mmio.get(), destination, static_cast<LONG>(count));
        if (n != static_cast<LONG>(count)) {
            TMS_RAISE(trace, kShortRead, "Could only read %d bytes of %d for current chunk",
                      n < 0 ? 0 : n, static_cast<int>(count));
        }
    });
}

DWORD CMmioMsg::GetMsgSize() {
    if (m_buffer) {
        if (m_bufferSize < riff::kHeaderSize) {
            return m_bufferSize;
        }
        ULONGLONG size = ULONGLONG{riff::LoadLe32(m_buffer.get() + riff::kSizeOffset)} + 8;
        // A size word that claims more than the buffer holds is never believed.
        return size > m_bufferSize ? m_bufferSize : static_cast<DWORD>(size);
    }
    if (!m_mmio) {
        return 0;
    }
    LONG here = mmioSeek(m_mmio.get(), 0, SEEK_CUR);
    LONG end = mmioSeek(m_mmio.get(), 0, SEEK_END);
    if (here != -1) {
        mmioSeek(m_mmio.get(), here, SEEK_SET);
    }
    return end < 0 ? 0 : static_cast<DWORD>(end);
}

HRESULT CMmioMsg::Copy(CMmioMsg& destination) {
    CTmsEntryPoint trace("CMmioMsg::Copy");
    return TMS_ERROR_FRAME(trace, [&] {
        if (!m_buffer || !destination.m_buffer) {
            TMS_RAISE(trace, kNotMemory, "Copy only works on memory files");
        }
        DWORD size = GetMsgSize();
        if (size > destination.m_bufferSize) {
            TMS_RAISE(trace, kShortWrite, "Could only write %d bytes of %d for chunk",
                      static_cast<int>(destination.m_bufferSize), static_cast<int>(size));
        }
        std::memcpy(destination.m_buffer.get(), m_buffer.get(), size);
        // The rest of the destination was zero past its mark: clear up to it.
        destination.m_used = std::max(destination.m_used, size);
        destination.ClearFrom(size);
    });
}

HRESULT CMmioMsg::Rewind() {
    CTmsEntryPoint trace("CMmioMsg::Rewind");
    return TMS_ERROR_FRAME(trace, [&] {
        if (mmioSeek(m_mmio.get(), 0, SEEK_SET) == -1) {
            TMS_RAISE(trace, kCannotSeek, "Could not rewind mmio file");
        }
    });
}

HRESULT CMmioMsg::ClearBuffer() {
    CTmsEntryPoint trace("CMmioMsg::ClearBuffer");
    return TMS_ERROR_FRAME(trace, [&] {
        m_mmio.reset();
        ClearFrom(0);
    });
}

HRESULT CMmioMsg::Close() {
    CTmsEntryPoint trace("CMmioMsg::Close");
    return TMS_ERROR_FRAME(trace, [&] {
        m_mmio.reset();
        m_buffer.reset();
        m_bufferSize = 0;
        m_used = 0;
    });
}
