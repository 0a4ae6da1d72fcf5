#include "platform/kernel/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir with 0700 whatever the umask; true when this call made the folder.
bool MakeOneFolder(const std::string& path) {
    if (::mkdir(path.c_str(), kPrivateFolderMode) != 0) {
        return false;
    }
    // The umask may have taken bits away (umask 0200 leaves 0500, a folder
    // its owner cannot fill); the folder is new and ours, so set it whole.
    ::chmod(path.c_str(), kPrivateFolderMode);
    return true;
}

}  // namespace

bool MakePrivateFolders(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    if (IsFolder(path)) {
        return true;
    }
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (!MakeOneFolder(part) && errno != EEXIST) {
            return false;
        }
    }
    return IsFolder(path);
}

int OpenPrivateFile(const std::string& path, int flags) {
    const int base = (flags & ~O_CREAT) | O_CLOEXEC;
    // Another process may create or remove the file between the two opens;
    // a few rounds settle it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd;
        do {
            fd = ::open(path.c_str(), base | O_CREAT | O_EXCL, kPrivateFileMode);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            ::fchmod(fd, kPrivateFileMode);  // the umask may have narrowed it
            return fd;
        }
        if (errno != EEXIST || (flags & O_EXCL) != 0) {
            return -1;
        }
        do {
            fd = ::open(path.c_str(), base);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
    }
    errno = EAGAIN;
    return -1;
}

bool MakePrivate(int fd) {
    return ::fchmod(fd, kPrivateFileMode) == 0;
}
