// Standard input as a source of single key presses for a live display: on a
// terminal, line buffering and echo are switched off for the object's
// lifetime (and restored after); elsewhere (a pipe, a file) the input is
// read as it comes.
//
// Thread safety: one owner, the display's thread.
#pragma once

#include <termios.h>

class CKeyInput {
public:
    enum class Result { kNone, kQuit, kEnd };

    CKeyInput();
    ~CKeyInput();
    CKeyInput(const CKeyInput&) = delete;
    CKeyInput& operator=(const CKeyInput&) = delete;

    // Waits up to ms for input. kQuit when 'q' or 'Q' was read, kEnd at the
    // end of input, kNone otherwise (time-out, other keys, a signal).
    Result Wait(int ms);

private:
    bool m_restore = false;
    termios m_saved{};
};
