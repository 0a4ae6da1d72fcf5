// Runs a function in a forked child process, for tests of objects shared
// between processes. The child ends with _exit(), so no destructor or gtest
// code of the parent runs in it.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kerneltest {

inline pid_t ForkChild(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    return pid;
}

// The child's exit status, or -1 when it did not exit normally.
inline int WaitChild(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A pipe to hand single bytes between parent and child.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe(fd) != 0) {
            fd[0] = fd[1] = -1;
        }
    }
    ~Pipe() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void Send(char c) { (void)!::write(fd[1], &c, 1); }
    // 0 when nothing came within 10 s (a child that died), so a broken test
    // fails instead of hanging.
    char Receive() {
        struct pollfd p = {fd[0], POLLIN, 0};
        char c = 0;
        if (::poll(&p, 1, 10000) != 1 || ::read(fd[0], &c, 1) != 1) {
            return 0;
        }
        return c;
    }
};

}  // namespace kerneltest
