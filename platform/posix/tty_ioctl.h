// The termios2 and modem-line requests: the one place they reach the kernel.
// A test links a recording tty_ioctl.cpp of its own in place of the real one.
#pragma once

// <sys/ioctl.h> and <termios.h> clash with the kernel's termios2 header, so
// the few declarations needed are made here and nowhere else.
#include <asm/termios.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

// Each returns 0 on success, or -1 with errno set, as ioctl does.
int TtyGetTermios2(int fd, struct termios2* settings);
int TtySetTermios2(int fd, const struct termios2* settings);
int TtyGetModemBits(int fd, int* bits);
// Raises (raise true) or drops the modem lines named by bits (TIOCM_*).
int TtyChangeModemBits(int fd, int bits, bool raise);
