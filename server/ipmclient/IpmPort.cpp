#include "server/ipmclient/IpmPort.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "platform/kernel/RuntimeDir.h"

namespace {

bool ValidPortName(std::string_view name) {
    if (name.empty() || name.size() > 63) {
        return false;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string_view::npos) {
            end = name.size();
        }
        std::string_view part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        for (char c : part) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-' || c == '.';
            if (!ok) {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

std::string IpmPortPath(std::string_view portName) {
    if (!ValidPortName(portName)) {
        errno = EINVAL;
        return {};
    }
    std::string path = RuntimePath("ipm/" + std::string(portName));
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        errno = ENAMETOOLONG;
        return {};
    }
    return path;
}

int IpmCheckPeer(int socketFd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        return errno;
    }
    return cred.uid == ::geteuid() ? 0 : EACCES;
}
