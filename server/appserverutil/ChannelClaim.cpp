#include "server/appserverutil/ChannelClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/kernel/PrivateFiles.h"
#include "platform/kernel/RuntimeDir.h"

namespace {

// The holder's line is short; anything longer is not one.
constexpr std::size_t kMaxLine = 512;

std::string ThisProcessName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// "<pid> <process>\t<application>"; false when text is not such a line.
bool ParseHolder(const std::string& text, CChannelClaim::Holder* holder) {
    const std::size_t space = text.find(' ');
    const std::size_t tab = text.find('\t');
    if (space == std::string::npos || tab == std::string::npos || tab < space) {
        return false;
    }
    char* end = nullptr;
    const std::string pidText = text.substr(0, space);
    const long pid = std::strtol(pidText.c_str(), &end, 10);
    if (pidText.empty() || *end != 0 || pid <= 0 || pid > 0x3FFFFFFF) {
        return false;
    }
    std::string application = text.substr(tab + 1);
    if (!application.empty() && application.back() == '\n') {
        application.pop_back();
    }
    holder->pid = static_cast<int>(pid);
    holder->process = text.substr(space + 1, tab - space - 1);
    holder->application = application;
    return true;
}

std::string ReadHolderLine(int fd) {
    char buffer[kMaxLine];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    if (n <= 0 || static_cast<std::size_t>(n) == sizeof buffer) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::string CChannelClaim::PathFor(int channelIndex) {
    char name[40];
    std::snprintf(name, sizeof name, "claims/channel-%02d", channelIndex);
    return RuntimePath(name);
}

bool CChannelClaim::Claim(int channelIndex, const std::string& application) {
    if (Held() && channelIndex == m_channelIndex) {
        return true;
    }
    Release();
    m_busy = false;
    m_error = 0;
    m_holder = Holder{};
    CUniqueFd fd(OpenPrivateFile(PathFor(channelIndex), O_RDWR));
    if (fd.Get() < 0) {
        m_error = errno;
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        m_error = errno;
        if (m_error == EWOULDBLOCK) {
            m_busy = true;
            if (!ParseHolder(ReadHolderLine(fd.Get()), &m_holder)) {
                m_holder = Holder{};
            }
        }
        return false;
    }
    // Ours now: whatever an earlier holder wrote goes.
    std::string line = std::to_string(::getpid()) + " " + ThisProcessName() + "\t" + application;
    if (line.size() >= kMaxLine) {
        line.resize(kMaxLine - 1);
    }
    line += '\n';
    // The line is a hint for others; a failure to write it leaves the claim.
    if (::ftruncate(fd.Get(), 0) == 0) {
        [[maybe_unused]] const ssize_t n = ::pwrite(fd.Get(), line.data(), line.size(), 0);
    }
    m_fd.emplace(fd.Release());
    m_channelIndex = channelIndex;
    return true;
}

void CChannelClaim::Release() {
    if (!Held()) {
        return;
    }
    // The line stays: the next holder overwrites it, and a claimant reads a
    // line only while the lock is held. Closing drops the lock.
    m_fd.reset();
    m_channelIndex = -1;
}

std::string CChannelClaim::HolderText() const {
    if (m_holder.pid == 0) {
        return "another process";
    }
    std::string text = "process " + std::to_string(m_holder.pid);
    if (!m_holder.process.empty() || !m_holder.application.empty()) {
        text += " (" + (m_holder.process.empty() ? std::string("?") : m_holder.process);
        if (!m_holder.application.empty()) {
            text += ", application '" + m_holder.application + "'";
        }
        text += ")";
    }
    return text;
}
