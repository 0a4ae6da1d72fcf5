#include "platform/kernel/internal/ShmFile.h"

#include "platform/kernel/LastError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tmskernel {

CShmFile::~CShmFile() {
    Close();
}

CShmFile::CShmFile(CShmFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_locked(std::exchange(other.m_locked, false)),
      m_name(std::move(other.m_name)) {}

CShmFile& CShmFile::operator=(CShmFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_locked = std::exchange(other.m_locked, false);
        m_name = std::move(other.m_name);
    }
    return *this;
}

void CShmFile::Close() {
    if (m_fd >= 0) {
        // Closing the descriptor also drops the creation lock.
        ::close(m_fd);
        m_fd = -1;
    }
    m_locked = false;
}

bool CShmFile::Open(const std::string& objectName, bool create, bool* created) {
    Close();
    *created = false;
    m_name = objectName;
    // Another process may remove the name between our two tries; a few
    // rounds settle it.
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        if (create) {
            m_fd = ::shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (m_fd >= 0) {
                // Private to its user whatever the umask, which would narrow
                // 0600 to a mode the user's other processes cannot open.
                ::fchmod(m_fd, 0600);
                *created = true;
                break;
            }
            if (errno != EEXIST) {
                SetLastError(LastErrorFromErrno(errno));
                return false;
            }
        }
        m_fd = ::shm_open(objectName.c_str(), O_RDWR | O_CLOEXEC, 0600);
        if (m_fd < 0 && (errno != ENOENT || !create)) {
            SetLastError(LastErrorFromErrno(errno));
            return false;
        }
    }
    if (m_fd < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            SetLastError(LastErrorFromErrno(errno));
            Close();
            return false;
        }
    }
    m_locked = true;
    return true;
}

bool CShmFile::OpenAnonymous() {
    Close();
    m_name.clear();
    m_fd = ::memfd_create("tms-mapping", MFD_CLOEXEC);
    if (m_fd < 0) {
        SetLastError(LastErrorFromErrno(errno));
        return false;
    }
    return true;
}

void CShmFile::Unlock() {
    if (m_locked && m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
    }
    m_locked = false;
}

off_t CShmFile::Size() const {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) {
        SetLastError(LastErrorFromErrno(errno));
        return -1;
    }
    return st.st_size;
}

bool CShmFile::GrowTo(off_t size) {
    off_t now = Size();
    if (now < 0) {
        return false;
    }
    if (now >= size) {
        return true;
    }
    while (::ftruncate(m_fd, size) != 0) {
        if (errno != EINTR) {
            SetLastError(LastErrorFromErrno(errno));
            return false;
        }
    }
    return true;
}

void CShmFile::UnlinkName() {
    if (!m_name.empty()) {
        ::shm_unlink(m_name.c_str());
    }
}

}  // namespace tmskernel
