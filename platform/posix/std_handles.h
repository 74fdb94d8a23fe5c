// What the standard handles were when the program took them: the console
// calls ask this instead of the kernel before every line.
#pragma once

#include <sys/types.h>

#include "platform/posix/win32_subset.h"

enum StdTerminal {
    StdTerminalUnknown,  // not a standard handle, or the kernel did not say
    StdTerminalYes,
    StdTerminalNo,
};

// Whether h, a handle GetStdHandle gives, was a terminal when the standard
// handles were taken. A terminal that hangs up later stays StdTerminalYes:
// its reads and writes then fail as a hung-up terminal's do.
StdTerminal StdHandleTerminal(HANDLE h);

// True when any standard handle is a terminal, i.e. the program has a
// console to show text on.
bool StdTerminalPresent(void);

// Writes the n bytes at bytes to fd, however many calls it takes: the count
// written, which is n unless a write failed (the last error then set).
size_t WriteAll(int fd, const char* bytes, size_t n);

// One read (reading) or write of at most n bytes on fd, waiting as a
// blocking descriptor waits: one left non-blocking by whoever shares it (a
// terminal, a pipe) is waited on rather than taken for failed. While it
// waits the thread is not busy (see WaitMark). The count, or -1 with errno.
ssize_t Transfer(int fd, void* bytes, size_t n, bool reading);
