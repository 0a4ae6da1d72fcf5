#include "tests/support/RtsSimProcess.h"

#include "server/ipmclient/IpmClient.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace tmstest {

std::string RtsSimProcess::Start(const std::string& binary, const std::string& runtimeDir,
                                 const std::vector<std::string>& extra) {
    if (m_pid > 0) {
        return "already running";
    }
    int out[2];
    if (::pipe(out) != 0) {
        return std::string("pipe: ") + std::strerror(errno);
    }
    std::vector<std::string> args = {binary, "--runtime", runtimeDir};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return std::string("fork: ") + std::strerror(errno);
    }
    if (m_pid == 0) {
        // A test that dies (a sanitizer abort, a time-out) takes its
        // simulator with it: SIGTERM lets it remove its sockets and memory.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            _exit(127);
        }
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    char buf[128] = {};
    const ssize_t n = ::read(out[0], buf, sizeof buf - 1);
    ::close(out[0]);
    if (n <= 0 || std::strstr(buf, "ready") == nullptr) {
        Kill();
        return std::string("the simulator did not start: ") + buf;
    }
    return {};
}

int RtsSimProcess::Stop() {
    if (m_pid <= 0) {
        return -1;
    }
    ::kill(m_pid, SIGTERM);
    return Wait();
}

void RtsSimProcess::Kill() {
    if (m_pid <= 0) {
        return;
    }
    ::kill(m_pid, SIGKILL);
    Wait();
}

int RtsSimProcess::Wait() {
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return status;
}

std::string SimControl(const std::string& command) {
    CIpmClient control(512, 1, "rtssim/control", 5000);
    if (control.Write(command.data(), static_cast<int>(command.size())) < 0) {
        return "";
    }
    char answer[512];
    const int n = control.Read(answer, sizeof answer);
    return n > 0 ? std::string(answer, static_cast<std::size_t>(n)) : "";
}

}  // namespace tmstest
