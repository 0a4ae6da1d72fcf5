// The open file behind an HMMIO: a memory file or a disk file, with the byte
// level calls the RIFF functions of Mmio.h are built on. Callers use the
// functions of Mmio.h; this class is their implementation.
//
// Thread safety: one thread at a time per object (see Mmio.h).
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "platform/mmio/Mmio.h"

class CMmioFile {
    struct Key {
        explicit Key() = default;
    };

public:
    // Each sets *error and returns null on failure.
    static std::unique_ptr<CMmioFile> OpenMemory(const MMIOINFO& info, DWORD flags, UINT* error);
    static std::unique_ptr<CMmioFile> OpenDisk(const char* path, const MMIOINFO* info, DWORD flags,
                                               UINT* error);

    explicit CMmioFile(Key) {}
    ~CMmioFile();
    CMmioFile(const CMmioFile&) = delete;
    CMmioFile& operator=(const CMmioFile&) = delete;

    bool IsMemory() const { return m_fd < 0; }
    bool CanWrite() const { return m_writable; }
    LONGLONG Tell() const { return m_pos; }
    // End of the content: the file size, including buffered writes.
    LONGLONG Size() const;

    LONG Read(void* dst, LONG cch);
    // Writes what fits; -1 when the file is not writable or an I/O error comes
    // before any byte was written.
    LONG Write(const void* src, LONG cch);
    // Makes sure `cch` bytes can be written at the position without a short
    // write: grows a memory file when allowed. Always true for disk files.
    bool Reserve(LONG cch);
    // Moves to an absolute position; false when the position is not allowed.
    bool SeekTo(LONGLONG pos);

    // Memory-file fast paths for the chunk calls, so that headers, pad bytes
    // and size patches are stored in place. WriteSpan hands out `cch` bytes
    // at the position and moves past them; ContentAt gives `cch` bytes of
    // existing content at `offset` without moving. Both give null when this is
    // no writable memory file or the bytes are not there: the caller then
    // takes the general path.
    BYTE* WriteSpan(LONG cch);
    BYTE* ContentAt(LONGLONG offset, LONG cch);

    MMRESULT Flush();
    // Flushes and closes the descriptor; the object is unusable afterwards.
    MMRESULT Close();
    void GetInfo(MMIOINFO* info) const;

private:
    bool GrowMemory(LONGLONG need);
    LONG WriteSlow(const void* src, LONG cch);
    LONG ReadDisk(BYTE* dst, LONG cch);
    LONG WriteDisk(const BYTE* src, LONG cch);
    // pread/pwrite loops; return bytes done or -1 when nothing was done.
    LONGLONG PreadAll(BYTE* dst, LONGLONG cch, LONGLONG at);
    LONGLONG PwriteAll(const BYTE* src, LONGLONG cch, LONGLONG at);

    // Constant after open.
    DWORD m_openFlags = 0;
    bool m_writable = false;

    LONGLONG m_pos = 0;

    // Memory file: m_data points at the caller's buffer or at m_owned.
    BYTE* m_data = nullptr;
    LONGLONG m_capacity = 0;
    // WriteSpan's one check: the capacity of a writable memory file, -1 for
    // anything else (a disk file, a read-only or closed file).
    LONGLONG m_spanEnd = -1;
    LONGLONG m_extent = 0;
    DWORD m_growth = 0;
    std::vector<BYTE> m_owned;

    // Disk file. With MMIO_ALLOCBUF, m_io holds the file bytes
    // [m_ioStart, m_ioStart + m_ioValid), of which [m_dirtyLo, m_dirtyHi)
    // (relative to m_ioStart) are not yet written out.
    int m_fd = -1;
    LONGLONG m_diskSize = 0;
    std::vector<BYTE> m_io;
    LONGLONG m_ioStart = 0;
    LONGLONG m_ioValid = 0;
    LONGLONG m_dirtyLo = 0;
    LONGLONG m_dirtyHi = 0;
};

// The message building path (header, data, size patch) into a memory file that
// has room: no call, no allocation.
[[gnu::always_inline]] inline LONG CMmioFile::Write(const void* src, LONG cch) {
    if (m_fd < 0 && m_writable && cch > 0 && m_pos + cch <= m_capacity) {
        std::memcpy(m_data + m_pos, src, static_cast<size_t>(cch));
        m_pos += cch;
        if (m_pos > m_extent) {
            m_extent = m_pos;
        }
        return cch;
    }
    return WriteSlow(src, cch);
}

inline BYTE* CMmioFile::WriteSpan(LONG cch) {
    if (cch <= 0 || m_pos + cch > m_spanEnd) {
        return nullptr;
    }
    BYTE* p = m_data + m_pos;
    m_pos += cch;
    if (m_pos > m_extent) {
        m_extent = m_pos;
    }
    return p;
}

inline BYTE* CMmioFile::ContentAt(LONGLONG offset, LONG cch) {
    if (m_fd >= 0 || !m_writable || offset < 0 || offset + cch > m_extent) {
        return nullptr;
    }
    return m_data + offset;
}

inline bool CMmioFile::SeekTo(LONGLONG pos) {
    if (pos < 0 || pos > 0x7FFFFFFF || (m_fd < 0 && pos > m_extent)) {
        return false;
    }
    m_pos = pos;
    return true;
}

#include "platform/mmio/MmioInline.h"
