#include "platform/mmio/MmioFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace {

constexpr LONGLONG kMaxPos = 0x7FFFFFFF;  // positions are LONG, as the API's

UINT OpenErrorFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return MMIOERR_FILENOTFOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
            return MMIOERR_PATHNOTFOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return MMIOERR_ACCESSDENIED;
        case EMFILE:
        case ENFILE:
            return MMIOERR_TOOMANYOPENFILES;
        case ENOMEM:
            return MMIOERR_OUTOFMEMORY;
        default:
            return MMIOERR_CANNOTOPEN;
    }
}

}  // namespace

std::unique_ptr<CMmioFile> CMmioFile::OpenMemory(const MMIOINFO& info, DWORD flags, UINT* error) {
    if (info.cchBuffer < 0) {
        *error = MMSYSERR_INVALPARAM;
        return nullptr;
    }
    try {
        auto f = std::make_unique<CMmioFile>(Key{});
        f->m_openFlags = flags;
        f->m_writable = (flags & MMIO_RWMODE) != MMIO_READ;
        f->m_growth = info.adwInfo[0];
        f->m_capacity = info.cchBuffer;
        if (info.pchBuffer != nullptr) {
            f->m_data = reinterpret_cast<BYTE*>(info.pchBuffer);
        } else {
            f->m_owned.assign(static_cast<size_t>(info.cchBuffer), 0);
            f->m_data = f->m_owned.data();
        }
        f->m_extent = (flags & MMIO_CREATE) ? 0 : f->m_capacity;
        f->m_spanEnd = f->m_writable ? f->m_capacity : -1;
        *error = MMSYSERR_NOERROR;
        return f;
    } catch (const std::bad_alloc&) {
        *error = MMIOERR_OUTOFMEMORY;
        return nullptr;
    }
}

std::unique_ptr<CMmioFile> CMmioFile::OpenDisk(const char* path, const MMIOINFO* info, DWORD flags,
                                               UINT* error) {
    if (info != nullptr && (info->pchBuffer != nullptr || info->cchBuffer < 0)) {
        // Disk files never do I/O in a caller's buffer (see Mmio.h).
        *error = MMSYSERR_INVALPARAM;
        return nullptr;
    }
    const DWORD access = flags & MMIO_RWMODE;
    const bool writable = access != MMIO_READ;
    int oflags = O_CLOEXEC;
    if (flags & MMIO_CREATE) {
        // Creating a file for reading only still needs write access to
        // truncate it; the handle itself stays read-only.
        oflags |= O_CREAT | O_TRUNC | (access == MMIO_WRITE ? O_WRONLY : O_RDWR);
    } else {
        oflags |= access == MMIO_READ ? O_RDONLY : (access == MMIO_WRITE ? O_WRONLY : O_RDWR);
    }
    try {
        auto f = std::make_unique<CMmioFile>(Key{});
        f->m_openFlags = flags;
        f->m_writable = writable;
        if (flags & MMIO_ALLOCBUF) {
            const LONG size =
                (info != nullptr && info->cchBuffer > 0) ? info->cchBuffer : MMIO_DEFAULTBUFFER;
            f->m_io.resize(static_cast<size_t>(size));
        }
        int fd;
        do {
            fd = ::open(path, oflags, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            *error = OpenErrorFromErrno(errno);
            return nullptr;
        }
        f->m_fd = fd;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            // Not a regular file (a folder, a device): there is no RIFF file to speak of.
            *error = MMIOERR_CANNOTOPEN;
            return nullptr;  // the destructor closes fd
        }
        f->m_diskSize = st.st_size;
        *error = MMSYSERR_NOERROR;
        return f;
    } catch (const std::bad_alloc&) {
        *error = MMIOERR_OUTOFMEMORY;
        return nullptr;
    }
}

CMmioFile::~CMmioFile() {
    if (m_fd >= 0) {
        Close();
    }
}

LONGLONG CMmioFile::Size() const {
    if (m_fd < 0) {
        return m_extent;
    }
    return std::max(m_diskSize, m_ioStart + m_ioValid);
}

bool CMmioFile::GrowMemory(LONGLONG need) {
    if (m_growth == 0 || need > kMaxPos) {
        return false;
    }
    // Grow in whole increments, as the multimedia API does for memory files.
    const LONGLONG steps = (need - m_capacity + m_growth - 1) / m_growth;
    const LONGLONG capacity = std::min(kMaxPos, m_capacity + steps * LONGLONG{m_growth});
    try {
        if (m_data != m_owned.data() || m_owned.empty()) {
            // The caller's buffer cannot grow: move the content to our own.
            std::vector<BYTE> owned(static_cast<size_t>(capacity), 0);
            if (m_extent > 0) {
                std::memcpy(owned.data(), m_data, static_cast<size_t>(m_extent));
            }
            m_owned.swap(owned);
        } else {
            m_owned.resize(static_cast<size_t>(capacity), 0);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_data = m_owned.data();
    m_capacity = capacity;
    m_spanEnd = m_writable ? capacity : -1;
    return true;
}

bool CMmioFile::Reserve(LONG cch) {
    if (m_fd >= 0) {
        return true;
    }
    const LONGLONG need = m_pos + cch;
    return need <= m_capacity || GrowMemory(need);
}

LONG CMmioFile::WriteSlow(const void* src, LONG cch) {
    if (!m_writable || cch < 0 || (cch > 0 && src == nullptr)) {
        return -1;
    }
    if (cch == 0) {
        return 0;
    }
    if (m_fd >= 0) {
        return WriteDisk(static_cast<const BYTE*>(src), cch);
    }
    LONGLONG n = cch;
    if (m_pos + n > m_capacity && !GrowMemory(m_pos + n)) {
        n = m_capacity - m_pos;  // a full fixed-size file takes what fits
    }
    if (n > 0) {
        std::memcpy(m_data + m_pos, src, static_cast<size_t>(n));
        m_pos += n;
        m_extent = std::max(m_extent, m_pos);
    }
    return static_cast<LONG>(n);
}

LONG CMmioFile::Read(void* dst, LONG cch) {
    if (cch < 0 || (cch > 0 && dst == nullptr)) {
        return -1;
    }
    if (cch == 0) {
        return 0;
    }
    if (m_fd >= 0) {
        return ReadDisk(static_cast<BYTE*>(dst), cch);
    }
    const LONGLONG n = std::clamp<LONGLONG>(m_extent - m_pos, 0, cch);
    if (n > 0) {
        std::memcpy(dst, m_data + m_pos, static_cast<size_t>(n));
        m_pos += n;
    }
    return static_cast<LONG>(n);
}

LONGLONG CMmioFile::PreadAll(BYTE* dst, LONGLONG cch, LONGLONG at) {
    LONGLONG done = 0;
    while (done < cch) {
        const ssize_t r = ::pread(m_fd, dst + done, static_cast<size_t>(cch - done), at + done);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done > 0 ? done : -1;
        }
        if (r == 0) {
            break;
        }
        done += r;
    }
    return done;
}

LONGLONG CMmioFile::PwriteAll(const BYTE* src, LONGLONG cch, LONGLONG at) {
    LONGLONG done = 0;
    while (done < cch) {
        const ssize_t r = ::pwrite(m_fd, src + done, static_cast<size_t>(cch - done), at + done);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (r == 0) {
            break;
        }
        done += r;
    }
    if (done > 0) {
        m_diskSize = std::max(m_diskSize, at + done);
    }
    return done > 0 || cch == 0 ? done : -1;
}

LONG CMmioFile::ReadDisk(BYTE* dst, LONG cch) {
    if (m_io.empty()) {
        const LONGLONG r = PreadAll(dst, cch, m_pos);
        if (r > 0) {
            m_pos += r;
        }
        return static_cast<LONG>(r);
    }
    const auto cap = static_cast<LONGLONG>(m_io.size());
    LONGLONG done = 0;
    while (done < cch) {
        if (m_pos >= m_ioStart && m_pos < m_ioStart + m_ioValid) {
            const LONGLONG k = std::min<LONGLONG>(cch - done, m_ioStart + m_ioValid - m_pos);
            std::memcpy(dst + done, m_io.data() + (m_pos - m_ioStart), static_cast<size_t>(k));
            m_pos += k;
            done += k;
            continue;
        }
        if (Flush() != MMSYSERR_NOERROR) {
            break;
        }
        if (cch - done >= cap) {
            // Large reads bypass the buffer.
            const LONGLONG r = PreadAll(dst + done, cch - done, m_pos);
            if (r > 0) {
                m_pos += r;
                done += r;
            }
            break;
        }
        m_ioStart = m_pos;
        m_ioValid = 0;
        const LONGLONG r = PreadAll(m_io.data(), cap, m_pos);
        if (r <= 0) {
            if (r < 0 && done == 0) {
                return -1;
            }
            break;
        }
        m_ioValid = r;
    }
    return static_cast<LONG>(done);
}

LONG CMmioFile::WriteDisk(const BYTE* src, LONG cch) {
    if (m_io.empty()) {
        const LONGLONG r = PwriteAll(src, cch, m_pos);
        if (r > 0) {
            m_pos += r;
        }
        return static_cast<LONG>(r);
    }
    const auto cap = static_cast<LONGLONG>(m_io.size());
    LONGLONG done = 0;
    while (done < cch) {
        // Write into the buffer while the position lies in it or just after
        // its valid bytes, so the buffer never holds a gap.
        if (m_pos >= m_ioStart && m_pos <= m_ioStart + m_ioValid && m_pos < m_ioStart + cap) {
            const LONGLONG rel = m_pos - m_ioStart;
            const LONGLONG k = std::min<LONGLONG>(cch - done, cap - rel);
            std::memcpy(m_io.data() + rel, src + done, static_cast<size_t>(k));
            if (m_dirtyHi == m_dirtyLo) {
                m_dirtyLo = rel;
                m_dirtyHi = rel + k;
            } else {
                m_dirtyLo = std::min(m_dirtyLo, rel);
                m_dirtyHi = std::max(m_dirtyHi, rel + k);
            }
            m_ioValid = std::max(m_ioValid, rel + k);
            m_pos += k;
            done += k;
            continue;
        }
        if (Flush() != MMSYSERR_NOERROR) {
            break;
        }
        if (cch - done >= cap) {
            const LONGLONG r = PwriteAll(src + done, cch - done, m_pos);
            if (r > 0) {
                m_pos += r;
                done += r;
            }
            break;
        }
        m_ioStart = m_pos;
        m_ioValid = 0;
    }
    return done == 0 ? -1 : static_cast<LONG>(done);
}

MMRESULT CMmioFile::Flush() {
    if (m_fd < 0 || m_dirtyHi == m_dirtyLo) {
        return MMSYSERR_NOERROR;
    }
    const LONGLONG n = m_dirtyHi - m_dirtyLo;
    const LONGLONG r = PwriteAll(m_io.data() + m_dirtyLo, n, m_ioStart + m_dirtyLo);
    if (r != n) {
        if (r > 0) {
            m_dirtyLo += r;
        }
        return MMIOERR_CANNOTWRITE;
    }
    m_dirtyLo = m_dirtyHi = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT CMmioFile::Close() {
    if (m_fd < 0) {
        return MMSYSERR_NOERROR;
    }
    MMRESULT result = Flush();
    if (::close(m_fd) != 0 && result == MMSYSERR_NOERROR && errno != EINTR) {
        result = MMIOERR_CANNOTCLOSE;
    }
    m_fd = -1;
    m_extent = m_capacity = 0;  // an unusable memory-file view of nothing
    m_writable = false;
    m_spanEnd = -1;
    return result;
}

void CMmioFile::GetInfo(MMIOINFO* info) const {
    *info = MMIOINFO{};
    info->dwFlags = m_openFlags;
    info->lDiskOffset = static_cast<LONG>(std::min(m_pos, kMaxPos));
    if (m_fd >= 0) {
        info->fccIOProc = FOURCC_DOS;
        info->cchBuffer = static_cast<LONG>(m_io.size());
        info->adwInfo[0] = static_cast<DWORD>(m_fd);
    } else {
        char* base = reinterpret_cast<char*>(m_data);
        info->fccIOProc = FOURCC_MEM;
        info->cchBuffer = static_cast<LONG>(m_capacity);
        info->pchBuffer = base;
        info->pchNext = base + m_pos;
        info->pchEndRead = base + m_extent;
        info->pchEndWrite = base + m_capacity;
        info->adwInfo[0] = m_growth;
    }
    info->hmmio = const_cast<CMmioFile*>(this);
}
