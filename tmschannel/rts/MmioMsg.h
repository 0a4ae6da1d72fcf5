// The buffer in which every message to and from the RTS is built and parsed:
// a RIFF file held in a fixed-size memory buffer, written and read through
// the multimedia I/O calls, with this component's error reporting. Every
// operation but GetMsgSize, GetBuffer and GetBufferSize runs in its own
// entry-point trace and returns an HRESULT; the Find operations return S_OK
// when found and S_FALSE when not.
//
// Thread safety: not locked. A message is built by one thread and then handed
// to the RTS message thread, which reads it while the sender waits.
#pragma once

#include "platform/com/HResult.h"
#include "platform/mmio/Mmio.h"

#include <cstdint>
#include <memory>

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
    HRESULT CreateList(FOURCC listType, MMCKINFO* ck);
    // Writes a plain chunk padded with zeros to a multiple of 4 bytes; the
    // padding counts in its size.
    HRESULT CreateChunk(FOURCC id, const void* data, DWORD size);
    HRESULT Ascend(MMCKINFO* ck);

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

    BYTE* GetBuffer() const { return m_buffer.get(); }
    DWORD GetBufferSize() const { return m_bufferSize; }

private:
    struct MmioCloser {
        void operator()(CMmioFile* h) const { mmioClose(h, 0); }
    };
    using MmioHandle = std::unique_ptr<CMmioFile, MmioCloser>;

    HMMIO OpenMemory(BYTE* buffer, DWORD size);
    // Chunks written by the fast path leave the memory file's position behind;
    // every other operation first moves it to where they ended.
    void SyncPosition();
    LONG CurrentPosition();

    std::unique_ptr<BYTE[]> m_buffer;  // null when the message owns no buffer
    DWORD m_bufferSize = 0;
    MmioHandle m_mmio;                 // null when closed
    LONG m_pendingPos = -1;            // position after fast-path chunks; -1 = in sync
};
