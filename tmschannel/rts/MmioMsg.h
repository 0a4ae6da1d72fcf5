// The buffer in which every message to and from the RTS is built and parsed:
// a RIFF file held in a fixed-size memory buffer, written and read through
// the multimedia I/O calls, with this component's error reporting. Every
// operation but GetMsgSize, GetBuffer and GetBufferSize returns an HRESULT
// and fails inside its own entry-point trace; CreateChunk, CreateList and
// Ascend open theirs only when the memory file cannot do the work in place
// (the in-place cases cannot fail, and a trace is only seen on a failure).
// The Find operations return S_OK when found and S_FALSE when not.
//
// A reused buffer is not cleared when the next message begins: the message
// keeps a high-water mark of the bytes any write may have touched (chunk
// writes, Copy into it, whoever took the writable GetBuffer pointer), and
// when a message it built is finished (Ascend of its RIFF form) it zero-fills
// from the message's end up to that mark. So no byte of an earlier message
// survives past the end of the message that is sent, as when the whole
// buffer was cleared, at the cost of the bytes actually used.
//
// Thread safety: not locked. A message is built by one thread and then handed
// to the RTS message thread, which reads it while the sender waits.
#pragma once

#include "platform/com/HResult.h"
#include "platform/mmio/Mmio.h"
#include "platform/mmio/RiffFormat.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

class CMmioMsg {
public:
    CMmioMsg();
    // Create(size); a failure is thrown as its HRESULT (a LONG).
    explicit CMmioMsg(DWORD size);
    virtual ~CMmioMsg();
    CMmioMsg(const CMmioMsg&) = delete;
    CMmioMsg& operator=(const CMmioMsg&) = delete;

    // A fixed buffer of size bytes (it never grows) with a memory file over it.
    HRESULT Create(DWORD size);
    // A disk file, created or truncated; owns no buffer.
    HRESULT Create(const char* fileName);
    // A memory file over the caller's buffer; owns no buffer.
    HRESULT Attach(BYTE* buffer, DWORD size);

    HRESULT CreateRiff(FOURCC form, MMCKINFO* ck);
    inline HRESULT CreateList(FOURCC listType, MMCKINFO* ck);
    // Writes a plain chunk padded with zeros to a multiple of 4 bytes; the
    // padding counts in its size.
    inline HRESULT CreateChunk(FOURCC id, const void* data, DWORD size);
    // The same for one fixed-layout record. The record is copied into the
    // chunk straight from where the caller built it; only the traced path
    // takes its address, through a copy of its own, so that a record filled
    // just before the call goes from registers to the buffer instead of
    // through the stack (a load of a freshly, partly written record stalls).
    template <class Record>
    HRESULT CreateChunk(FOURCC id, const Record& record);
    inline HRESULT Ascend(MMCKINFO* ck);

    HRESULT FindRiff(FOURCC form, MMCKINFO* ck, bool* found);
    HRESULT FindList(FOURCC listType, const MMCKINFO* parent, MMCKINFO* ck, bool* found);
    HRESULT FindChunk(FOURCC id, const MMCKINFO* parent, MMCKINFO* ck, bool* found);
    HRESULT FindNextChunk(MMCKINFO* ck, bool* found);
    // Finds the chunk, checks its size, ascends out of it and points data at
    // its bytes inside the buffer (valid while the buffer lives).
    HRESULT FindChunkDataPtr(FOURCC id, const MMCKINFO* parent, const BYTE** data,
                             DWORD expectedSize, bool* found);
    HRESULT GetDataPtr(const BYTE** data, DWORD expectedSize);
    HRESULT ReadChunkData(void* destination, DWORD count);

    // With a buffer: the RIFF size word at offset 4 plus 8, never more than
    // the buffer holds; without: the file's end position.
    DWORD GetMsgSize();
    // Copies this message to the start of destination's buffer and zero-fills
    // the rest; fails when destination is smaller than the message.
    HRESULT Copy(CMmioMsg& destination);
    HRESULT Rewind();
    // Closes the memory file and zero-fills the buffer, which stays allocated.
    HRESULT ClearBuffer();
    HRESULT Close();

    // The writable buffer: whoever takes it may write anywhere in it (a reply
    // read into it), so the whole buffer then counts as used and the next
    // message finished here clears all of it past its end. Take it again for
    // every write: a pointer kept past the next message's end would write
    // behind the mark, where the buffer is taken to be zero. Readers take
    // the const one (std::as_const), which does not move the mark.
    BYTE* GetBuffer() {
        m_used = m_bufferSize;
        return m_buffer.get();
    }
    const BYTE* GetBuffer() const { return m_buffer.get(); }
    DWORD GetBufferSize() const { return m_bufferSize; }

private:
    struct MmioCloser {
        void operator()(CMmioFile* h) const { mmioClose(h, 0); }
    };
    using MmioHandle = std::unique_ptr<CMmioFile, MmioCloser>;

    // Chunks larger than this always take the traced path (keeps the padded
    // size clear of overflow).
    static constexpr DWORD kInlineChunkLimit = DWORD{1} << 30;

    HMMIO OpenMemory(BYTE* buffer, DWORD size);
    // Writes the header and zero padding of a chunk of size data bytes when
    // it fits in the memory file and returns where its data goes; null when
    // the traced path must write it.
    inline BYTE* ChunkData(FOURCC id, DWORD size);
    // The traced paths of the inline calls: every case the memory file cannot
    // do in place, with the failures and messages of the operation.
    HRESULT CreateChunkTraced(FOURCC id, const void* data, DWORD size);
    HRESULT CreateListTraced(FOURCC listType, MMCKINFO* ck);
    HRESULT AscendTraced(MMCKINFO* ck);
    // A RIFF form built here (not one found in a reply): leaving it ends the
    // message.
    static bool EndsMessage(const MMCKINFO* ck) {
        return ck != nullptr && (ck->dwFlags & MMIO_DIRTY) && ck->ckid == FOURCC_RIFF &&
               ck->dwDataOffset == riff::kHeaderSize;
    }
    // Moves the high-water mark up to the memory file's position, after a write.
    void NoteWritten() {
        if (m_mmio) {
            const LONGLONG end = m_mmio->Tell();
            if (end > LONGLONG{m_used}) {
                m_used = end < LONGLONG{m_bufferSize} ? static_cast<DWORD>(end) : m_bufferSize;
            }
        }
    }
    // Zero-fills the owned buffer from end up to the mark; the mark becomes end.
    void ClearFrom(DWORD end);

    std::unique_ptr<BYTE[]> m_buffer;  // null when the message owns no buffer
    DWORD m_bufferSize = 0;
    MmioHandle m_mmio;  // null when closed
    // Bytes [m_used, m_bufferSize) of the owned buffer are all zero.
    DWORD m_used = 0;
};

// A chunk that fits in a memory file is stored in one step: header, data and
// zero padding, the bytes the traced path's mmioCreateChunk, mmioWrite, pad
// write and mmioAscend produce. It cannot fail, so no trace is opened (a trace
// is only ever seen when an operation fails); a chunk that does not fit, or a
// disk file, takes the traced path, which fails as it always has.
[[gnu::always_inline]] inline BYTE* CMmioMsg::ChunkData(FOURCC id, DWORD size) {
    if (size >= kInlineChunkLimit || !m_mmio) {
        return nullptr;
    }
    const DWORD padded = (size + 3u) & ~3u;
    BYTE* p = m_mmio->WriteSpan(static_cast<LONG>(riff::kHeaderSize + padded));
    if (p == nullptr) {
        return nullptr;
    }
    // Before the byte stores, which the compiler must assume may change any
    // member: after them every member would be loaded again.
    NoteWritten();
    riff::StoreLe32(p + riff::kIdOffset, id);
    riff::StoreLe32(p + riff::kSizeOffset, padded);
    std::memset(p + riff::kHeaderSize + size, 0, padded - size);
    return p + riff::kHeaderSize;
}

inline HRESULT CMmioMsg::CreateChunk(FOURCC id, const void* data, DWORD size) {
    if (BYTE* p = ChunkData(id, size)) {
        if (size != 0) {
            std::memcpy(p, data, size);
        }
        return S_OK;
    }
    return CreateChunkTraced(id, data, size);
}

// A LIST header, and leaving a chunk whose size is patched in place, are done
// without a trace the same way.
inline HRESULT CMmioMsg::CreateList(FOURCC listType, MMCKINFO* ck) {
    if (ck != nullptr) {
        ck->fccType = listType;
        if (mmio_detail::CreateChunkInPlace(m_mmio.get(), ck, MMIO_CREATELIST)) {
            NoteWritten();
            return S_OK;
        }
    }
    return CreateListTraced(listType, ck);
}

inline HRESULT CMmioMsg::Ascend(MMCKINFO* ck) {
    const bool endsMessage = EndsMessage(ck);
    if (mmio_detail::AscendInPlace(m_mmio.get(), ck, 0)) {
        if (endsMessage && m_buffer) {
            // No byte of an earlier message survives past this one's end.
            ClearFrom(GetMsgSize());
        }
        return S_OK;
    }
    return AscendTraced(ck);
}

template <class Record>
[[gnu::always_inline]] inline HRESULT CMmioMsg::CreateChunk(FOURCC id, const Record& record) {
    static_assert(std::is_trivially_copyable_v<Record> && !std::is_pointer_v<Record>,
                  "a chunk record is plain bytes");
    if (BYTE* p = ChunkData(id, sizeof record)) {
        std::memcpy(p, &record, sizeof record);
        return S_OK;
    }
    const Record copy = record;
    return CreateChunkTraced(id, &copy, sizeof copy);
}
