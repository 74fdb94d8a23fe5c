// The recording stand-in for platform/posix/tty_ioctl.cpp: every termios2
// and modem-line request is kept, then passed on to the real terminal, so
// tests see both what was asked and what the pty made of it.
#pragma once

#include <asm/termios.h>

struct TtyRecording {
    int requests;                 // every request, of any kind
    int getCount;                 // TCGETS2 requests
    int setCount;                 // TCSETS2 requests
    struct termios2 sets[8];      // the first eight, as sent
    int modemChanges;             // TIOCMBIS and TIOCMBIC requests
    int modemBits;                // the last one's lines and direction
    bool modemRaise;
    bool canned;                  // when set, TCGETS2 answers these settings
    struct termios2 cannedSettings;  //   without asking the terminal
    int failSets;                 // errno for TCSETS2 to fail with; 0: pass on
    bool modemLines;              // TIOCMBIS/TIOCMBIC succeed without asking, as on a UART
    unsigned long order[16];      // the first sixteen requests, in order
};

extern TtyRecording ttyRecording;

void TtyRecordingReset();
