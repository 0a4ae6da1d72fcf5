// Processes the tool tests start: tmsctl run to the end, a channel script
// fed through a pipe, and any other program (tmsctl serve, the browser) in
// a process group of its own with a bounded read of its output and a
// bounded stop.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tmstest {

struct RunResult {
    int exit;
    std::string out;
};

// Runs tmsctl with arguments; stdout and stderr together.
RunResult Tmsctl(const std::string& args);

// Polls tmsctl watch until its text holds what is wanted (at most 30 s, so
// that a slow machine only waits longer); the last text seen.
std::string WatchUntil(const std::string& args, const std::string& wanted);

// A channel script fed line by line through a pipe, so that the channel
// stays open (and publishing) until the test closes the pipe or kills it.
class ScriptProcess {
public:
    ScriptProcess() = default;
    ~ScriptProcess() { Kill(); }
    ScriptProcess(const ScriptProcess&) = delete;
    ScriptProcess& operator=(const ScriptProcess&) = delete;

    // Its output, stdout and stderr, goes to outputFile.
    bool Start(const std::string& outputFile = "/dev/null");
    bool Send(const std::string& lines);
    // Ends the script: end of input, then waits for the process.
    int Finish();
    void Kill();
    pid_t Pid() const { return m_pid; }

private:
    void CloseInput();
    int Wait();
    pid_t m_pid = -1;
    int m_input = -1;
};

// A program in a process group of its own (a browser starts helpers), its
// standard output read through a pipe; standard error goes to errorFile.
// The destructor kills the group.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::vector<std::string>& argv, const std::string& errorFile = "/dev/null");
    // The next line of output without its newline; false at the end of the
    // output or when none came within limit.
    bool ReadLine(std::string* line, std::chrono::milliseconds limit);
    // All output until the process closes it, at most until limit; false
    // when the limit passed first.
    bool ReadAll(std::string* out, std::chrono::milliseconds limit);
    // SIGTERM to the group, then SIGKILL when it has not ended within
    // limit; the exit status as waitpid gives it (-1 when not running).
    int Stop(std::chrono::milliseconds limit);
    void Kill();
    pid_t Pid() const { return m_pid; }

private:
    bool Fill(std::chrono::steady_clock::time_point until);
    pid_t m_pid = -1;
    int m_output = -1;
    bool m_ended = false;
    std::string m_pending;
};

}  // namespace tmstest
