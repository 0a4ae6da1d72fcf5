#include "tools/tmsctl/KeyInput.h"

#include <cerrno>

#include <poll.h>
#include <unistd.h>

CKeyInput::CKeyInput() {
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &m_saved) == 0) {
        termios raw = m_saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_restore = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
}

CKeyInput::~CKeyInput() {
    if (m_restore) {
        tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
    }
}

CKeyInput::Result CKeyInput::Wait(int ms) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, ms) <= 0) {
        return Result::kNone;
    }
    if ((fd.revents & (POLLIN | POLLHUP)) == 0) {
        // Closed or invalid standard input: nothing more will come.
        return Result::kEnd;
    }
    char buffer[64];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN ? Result::kNone : Result::kEnd;
    }
    if (n == 0) {
        return Result::kEnd;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == 'q' || buffer[i] == 'Q') {
            return Result::kQuit;
        }
    }
    return Result::kNone;
}
