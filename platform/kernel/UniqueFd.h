// CUniqueFd: a POSIX file descriptor, closed at the end of its scope.
//
// Thread safety: an object belongs to one thread at a time.
#pragma once

#include <unistd.h>

#include <utility>

class CUniqueFd {
public:
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    ~CUniqueFd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;

    int Get() const { return m_fd; }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(m_fd, -1); }
    // Closes now; the result of close, which may report a late write error.
    int Close() { return ::close(Release()); }

private:
    int m_fd = -1;
};
