// Reads and writes on descriptors, for the console calls and plain file I/O.
#pragma once

#include <sys/types.h>

#include "platform/posix/win32_subset.h"

// True when h is a standard handle that was no terminal when the program
// took it (a pipe, a file): it never becomes one, so the console calls need
// not ask the kernel again before every line. False for anything else.
bool StdHandleNotTerminal(HANDLE h);

// Writes the n bytes at bytes to fd, however many calls it takes: the count
// written, which is n unless a write failed (the last error then set).
size_t WriteAll(int fd, const char* bytes, size_t n);

// One read (reading) or write of at most n bytes on fd, waiting as a
// blocking descriptor waits: one left non-blocking by whoever shares it (a
// terminal, a pipe) is waited on rather than taken for failed. While it
// waits the thread is not busy (see WaitMark). The count, or -1 with errno.
ssize_t Transfer(int fd, void* bytes, size_t n, bool reading);
