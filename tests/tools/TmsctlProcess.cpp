#include "tests/tools/TmsctlProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <thread>

namespace tmstest {

namespace {

// Waits for the process to end; its status, and *pid cleared.
int Reap(pid_t* pid) {
    int status = -1;
    while (*pid > 0 && ::waitpid(*pid, &status, 0) < 0 && errno == EINTR) {
    }
    *pid = -1;
    return status;
}

}  // namespace

RunResult Tmsctl(const std::string& args) {
    std::string cmd = std::string(TMSCTL_PATH) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    RunResult r{-1, ""};
    if (p == nullptr) {
        return r;
    }
    std::array<char, 512> buf;
    while (std::fgets(buf.data(), buf.size(), p) != nullptr) {
        r.out += buf.data();
    }
    int status = pclose(p);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string WatchUntil(const std::string& args, const std::string& wanted) {
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text = Tmsctl("watch " + args + " --once").out;
        if (text.find(wanted) != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return text;
}

bool ScriptProcess::Start(const std::string& outputFile) {
    int in[2];
    if (::pipe(in) != 0) {
        return false;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(in[0], 0);
        ::close(in[0]);
        ::close(in[1]);
        const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(output, 1);
        ::dup2(output, 2);
        ::execl(TMSCTL_PATH, TMSCTL_PATH, "run", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]);
    m_input = in[1];
    return m_pid > 0;
}

bool ScriptProcess::Send(const std::string& lines) {
    return ::write(m_input, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
}

int ScriptProcess::Finish() {
    CloseInput();
    return Wait();
}

void ScriptProcess::Kill() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        Wait();
    }
    CloseInput();
}

void ScriptProcess::CloseInput() {
    if (m_input >= 0) {
        ::close(m_input);
        m_input = -1;
    }
}

int ScriptProcess::Wait() {
    return Reap(&m_pid);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& errorFile) {
    if (m_pid > 0) {
        return false;
    }
    int out[2];
    if (::pipe(out) != 0) {
        return false;
    }
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (auto& a : args) {
        raw.push_back(a.data());
    }
    raw.push_back(nullptr);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        ::setpgid(0, 0);
        // A test that dies takes the program with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            _exit(127);
        }
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0) {
            ::dup2(err, 2);
        }
        ::execv(raw[0], raw.data());
        _exit(127);
    }
    ::close(out[1]);
    if (m_pid < 0) {
        ::close(out[0]);
        return false;
    }
    // Set here as well, so that a Kill right after Start reaches the group.
    ::setpgid(m_pid, m_pid);
    m_output = out[0];
    m_ended = false;
    m_pending.clear();
    return true;
}

bool ChildProcess::Fill(std::chrono::steady_clock::time_point until) {
    if (m_output < 0 || m_ended) {
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd p{m_output, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) {
        return ready < 0 && errno == EINTR;
    }
    char buf[4096];
    const ssize_t n = ::read(m_output, buf, sizeof buf);
    if (n <= 0) {
        m_ended = true;
        return false;
    }
    m_pending.append(buf, static_cast<std::size_t>(n));
    return true;
}

bool ChildProcess::ReadLine(std::string* line, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            *line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return true;
        }
        if (!Fill(until) && (m_ended || std::chrono::steady_clock::now() >= until)) {
            return false;
        }
    }
}

bool ChildProcess::ReadAll(std::string* out, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!m_ended) {
        if (!Fill(until) && !m_ended && std::chrono::steady_clock::now() >= until) {
            break;
        }
    }
    *out = m_pending;
    m_pending.clear();
    return m_ended;
}

int ChildProcess::Stop(std::chrono::milliseconds limit) {
    if (m_pid <= 0) {
        return -1;
    }
    ::kill(-m_pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            // Helpers the program left behind go with the group.
            ::kill(-m_pid, SIGKILL);
            m_pid = -1;
            Kill();
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill();
    return -1;
}

void ChildProcess::Kill() {
    if (m_pid > 0) {
        ::kill(-m_pid, SIGKILL);
        Reap(&m_pid);
    }
    if (m_output >= 0) {
        ::close(m_output);
        m_output = -1;
    }
}

}  // namespace tmstest
