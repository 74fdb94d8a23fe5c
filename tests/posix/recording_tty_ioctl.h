// The recording stand-in for platform/posix/tty_ioctl.cpp: every termios2
// and modem-line request is kept, then passed on to the real terminal, so
// tests see both what was asked and what the pty made of it.
#pragma once

#include <asm/termios.h>

struct TtyRecording {
    int getCount;                 // TtyGetTermios2 calls
    int setCount;                 // TtySetTermios2 calls
    struct termios2 sets[8];      // the first eight requests, as sent
    int modemChanges;             // TtyChangeModemBits calls
    int modemBits;                // the last one's lines and direction
    bool modemRaise;
    bool canned;                  // when set, TtyGetTermios2 answers
    struct termios2 cannedSettings;  //   these settings and TtyGetModemBits
    int cannedModemBits;          //   these lines, without the terminal
    int failSets;                 // errno for TtySetTermios2 to fail with; 0: pass on
};

extern TtyRecording ttyRecording;

void TtyRecordingReset();
