// The terminal requests, and the one place they reach the kernel: TtyIoctl
// (tty_ioctl.cpp), which a test replaces with a recording stand-in.
#pragma once

// <sys/ioctl.h> and <termios.h> clash with the kernel's termios2 header.
#include <asm/termios.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

// ioctl(fd, request, argument), made again while a signal interrupts it.
int TtyIoctl(int fd, unsigned long request, void* argument);

// Each returns 0 on success, or -1 with errno set, as ioctl does.
int TtyGetTermios2(int fd, struct termios2* settings);
int TtySetTermios2(int fd, const struct termios2* settings);
// Raises (raise true) or drops the modem lines named by bits (TIOCM_*).
int TtyChangeModemBits(int fd, int bits, bool raise);

// Terminal exclusive mode (TIOCEXCL): while set, further opens fail with
// EBUSY, except by a thread with CAP_SYS_ADMIN. The mark belongs to the
// terminal and outlives our process while anyone else has it open, so
// whoever sets it must clear it on every way out.
enum TtyExclusive {
    TtyExclusiveNotTerminal,  // not a terminal: there is no exclusive mode
    TtyExclusiveFree,         // nobody holds it
    TtyExclusiveHeld,         // another open holds it, or may: see TtyExclusiveState
    TtyExclusiveTaken,        // we set it, so we must clear it
    TtyExclusiveFailed,       // the request failed; errno says why
};

// Asks, without changing anything, whether the terminal is marked. Needed
// only where the kernel lets us past the mark. A terminal whose mark cannot
// be read (a kernel or emulator without TIOCGEXCL answers ENOTTY) is Held:
// a held port taken for free would be reconfigured, and its mark cleared.
TtyExclusive TtyExclusiveState(int fd);
// Sets exclusive mode: TtyExclusiveTaken, TtyExclusiveNotTerminal, or
// TtyExclusiveFailed with errno.
TtyExclusive TtyTakeExclusive(int fd);
// Clears exclusive mode; only for a descriptor whose take gave Taken. Tried
// a few times when it fails; false, with errno, when it could not be cleared.
bool TtyReleaseExclusive(int fd);
