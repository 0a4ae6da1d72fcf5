#include "server/ipmclient/IpmSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

int IpmWaitReady(int fd, int wake, short events, unsigned long timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int waitMs = -1;
        if (timeoutMs != 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return ETIMEDOUT;
            }
            waitMs = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        int n = ::poll(fds, 2, waitMs);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            continue;  // the deadline check above ends the wait
        }
        if (fds[1].revents != 0) {
            return ENOTCONN;
        }
        // Errors and hang-ups are reported by the recv/send that follows.
        return 0;
    }
}

CIpmSocket::CIpmSocket() : CIpmSocket(-1) {}

CIpmSocket::CIpmSocket(int fd) : m_fd(fd) {
    if (m_fd < 0) {
        m_closed.store(true);
    }
}

CIpmSocket::~CIpmSocket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool CIpmSocket::IsOpen() const {
    return !m_closed.load(std::memory_order_acquire);
}

bool CIpmSocket::PeerClosed() const {
    if (m_fd < 0 || !IsOpen()) {
        return true;
    }
    pollfd p{m_fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

int CIpmSocket::Fail(int error) {
    m_lastError.store(error, std::memory_order_relaxed);
    return -1;
}

void CIpmSocket::Close() {
    if (m_closed.exchange(true, std::memory_order_acq_rel) || m_fd < 0) {
        return;
    }
    // Wakes a recv or send blocked on the socket in another thread.
    ::shutdown(m_fd, SHUT_RDWR);
}

bool CIpmSocket::SetTimeout(int option, unsigned long timeoutMs, unsigned long* current) {
    if (*current == timeoutMs) {
        return true;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
    if (::setsockopt(m_fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
        return false;
    }
    *current = timeoutMs;
    return true;
}

int CIpmSocket::FailCall(int error) {
    // A socket time-out reads as EAGAIN; anything after Close is ENOTCONN.
    if (!IsOpen()) {
        return Fail(ENOTCONN);
    }
    return Fail(error == EAGAIN || error == EWOULDBLOCK ? ETIMEDOUT : error);
}

int CIpmSocket::Read(char* buffer, int size, unsigned long timeoutMs) {
    if (buffer == nullptr || size <= 0) {
        return Fail(EINVAL);
    }
    if (!IsOpen()) {
        return Fail(ENOTCONN);
    }
    // One blocking call, as a bare socket would make: the time-out is the
    // socket's receive time-out and Close wakes the call by shutting the
    // socket down.
    if (!SetTimeout(SO_RCVTIMEO, timeoutMs, &m_readTimeoutMs)) {
        return Fail(errno);
    }
    for (;;) {
        // MSG_TRUNC makes recv answer the message's whole length, so an
        // oversized message is seen rather than cut.
        ssize_t n = ::recv(m_fd, buffer, static_cast<size_t>(size), MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR && IsOpen()) {
                continue;
            }
            return FailCall(errno);
        }
        if (n == 0 && !IsOpen()) {
            return Fail(ENOTCONN);
        }
        m_lastReadLength = static_cast<int>(std::min<ssize_t>(n, INT_MAX));
        if (n > size) {
            // The rest of the message is gone with it: the next Read gets
            // the next message whole.
            return Fail(EMSGSIZE);
        }
        return static_cast<int>(n);
    }
}

int CIpmSocket::Write(const char* buffer, int length, unsigned long timeoutMs,
                      unsigned long maxLength) {
    if (buffer == nullptr || length <= 0) {
        return Fail(EINVAL);
    }
    if (maxLength != 0 && static_cast<unsigned long>(length) > maxLength) {
        return Fail(EMSGSIZE);
    }
    if (!IsOpen()) {
        return Fail(ENOTCONN);
    }
    if (!SetTimeout(SO_SNDTIMEO, timeoutMs, &m_writeTimeoutMs)) {
        return Fail(errno);
    }
    for (;;) {
        // MSG_NOSIGNAL: a vanished peer is EPIPE here, never SIGPIPE.
        ssize_t n = ::send(m_fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR && IsOpen()) {
                continue;
            }
            return FailCall(errno);
        }
        return static_cast<int>(n);
    }
}
