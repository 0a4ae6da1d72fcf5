// A tms-rtssim process for a test: started on the test's runtime folder,
// stopped (SIGTERM) by Stop or the destructor, or killed outright by Kill.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

namespace tmstest {

class RtsSimProcess {
public:
    RtsSimProcess() = default;
    ~RtsSimProcess() { Stop(); }
    RtsSimProcess(const RtsSimProcess&) = delete;
    RtsSimProcess& operator=(const RtsSimProcess&) = delete;

    // Starts binary with --runtime runtimeDir and extra; waits for its
    // "ready" line. Empty string on success, else why it did not start.
    std::string Start(const std::string& binary, const std::string& runtimeDir,
                      const std::vector<std::string>& extra = {});
    // SIGTERM and wait; the exit status (-1 when not running).
    int Stop();
    // SIGKILL and wait, leaving sockets and shared memory behind.
    void Kill();
    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

private:
    int Wait();
    pid_t m_pid = -1;
};

// A command on the control port of the simulator of the current runtime
// folder; its answer ("" when none came).
std::string SimControl(const std::string& command);

}  // namespace tmstest
