#include "server/ipmclient/IpmClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/ipmclient/IpmLog.h"
#include "server/ipmclient/IpmPort.h"

int CIpmClient::Connect(const std::string& portName, int* error) {
    const std::string path = IpmPortPath(portName);
    if (path.empty()) {
        *error = errno;
        IPM_LOG_FAILURE("IPM port name '" + portName + "' is not usable", *error);
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        IPM_LOG_FAILURE("IPM port " + portName + ": socket", *error);
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        *error = errno;
        ::close(fd);
        IPM_LOG_FAILURE("IPM port " + portName + ": cannot connect to " + path, *error);
        return -1;
    }
    if (int peer = IpmCheckPeer(fd); peer != 0) {
        *error = peer;
        ::close(fd);
        IPM_LOG_FAILURE("IPM port " + portName + ": server runs as another user", peer);
        return -1;
    }
    *error = 0;
    return fd;
}

CIpmClient::CIpmClient(unsigned long bufferSize, unsigned long /*queueDepth*/, const char* portName,
                       unsigned long timeoutMs)
    : m_portName(portName ? portName : ""),
      m_maxMessage(bufferSize * kBuffersPerMessage),
      m_timeoutMs(timeoutMs),
      m_socket(Connect(m_portName, &m_connectError)) {
    if (m_connectError != 0) {
        m_socket.Fail(m_connectError);
    }
}

int CIpmClient::Write(const char* buffer, int length) {
    int n = m_socket.Write(buffer, length, m_timeoutMs, m_maxMessage);
    if (n < 0 && m_socket.LastError() != ENOTCONN) {
        IPM_LOG_FAILURE(
            "IPM port " + m_portName + ": write of " + std::to_string(length) + " bytes failed",
            m_socket.LastError());
    }
    return n;
}

int CIpmClient::Read(char* buffer, int size) {
    int n = m_socket.Read(buffer, size, m_timeoutMs);
    if (n < 0 && m_socket.LastError() != ENOTCONN) {
        IPM_LOG_FAILURE("IPM port " + m_portName + ": read failed", m_socket.LastError());
    }
    return n;
}
