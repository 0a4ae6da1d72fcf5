#include "server/ipmclient/IpmServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/ipmclient/IpmLog.h"
#include "server/ipmclient/IpmPort.h"

namespace {

sockaddr_un Address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// True when a server answers on the socket file.
bool SomeoneListens(const sockaddr_un& addr) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return live;
}

}  // namespace

CIpmListener::CIpmListener() {
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CIpmListener::~CIpmListener() {
    Close();
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    if (m_wake >= 0) {
        ::close(m_wake);
    }
}

int CIpmListener::Listen(const char* portName, int backlog) {
    if (m_fd >= 0) {
        return EISCONN;
    }
    const std::string name = portName ? portName : "";
    std::string path = IpmPortPath(name);
    if (path.empty()) {
        int err = errno;
        IPM_LOG_FAILURE("IPM port name '" + name + "' is not usable", err);
        return err;
    }
    const sockaddr_un addr = Address(path);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int err = errno;
        IPM_LOG_FAILURE("IPM port " + name + ": socket", err);
        return err;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        if (err == EADDRINUSE && !SomeoneListens(addr)) {
            // A server that died left its socket file: take the name over.
            ::unlink(path.c_str());
            err =
                ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
        }
        if (err != 0) {
            ::close(fd);
            IPM_LOG_FAILURE("IPM port " + name + ": cannot bind " + path, err);
            return err;
        }
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(fd, backlog) != 0) {
        int err = errno;
        IPM_LOG_FAILURE("IPM port " + name + ": cannot listen on " + path, err);
        ::close(fd);
        ::unlink(path.c_str());
        return err;
    }
    m_fd = fd;
    m_path = std::move(path);
    return 0;
}

std::unique_ptr<CIpmConnection> CIpmListener::Accept(unsigned long timeoutMs) {
    for (;;) {
        if (m_fd < 0 || m_closed.load(std::memory_order_acquire)) {
            m_lastError.store(ENOTCONN, std::memory_order_relaxed);
            return nullptr;
        }
        if (int rc = IpmWaitReady(m_fd, m_wake, POLLIN, timeoutMs); rc != 0) {
            m_lastError.store(rc, std::memory_order_relaxed);
            return nullptr;
        }
        int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) {
                continue;
            }
            const int err = m_closed.load() ? ENOTCONN : errno;
            if (err != ENOTCONN) {
                IPM_LOG_FAILURE("IPM port " + m_path + ": accept failed", err);
            }
            m_lastError.store(err, std::memory_order_relaxed);
            return nullptr;
        }
        if (int peer = IpmCheckPeer(fd); peer != 0) {
            IPM_LOG_FAILURE("IPM port " + m_path + ": refused a client of another user", peer);
            ::close(fd);
            m_lastError.store(EACCES, std::memory_order_relaxed);
            return nullptr;
        }
        return std::make_unique<CIpmConnection>(fd);
    }
}

void CIpmListener::Close() {
    if (m_closed.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wake, &one, sizeof one);
}
