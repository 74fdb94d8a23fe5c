// UUCP lock files: how other programs say a serial port is theirs. The file
// LCK..<device base name> in a lock directory holds the owner's process id,
// in ASCII (possibly padded with spaces, followed by a newline or more text)
// or as a 4-byte binary number. This program only reads them.
#pragma once

#include <cstddef>

// Where lock files are kept, null-terminated: /var/lock and /run/lock, each
// directory once (one often links to the other). Found at the first call and
// kept for the run; called under a CommHold.
const char* const* SystemLockDirectories(void);

// True when a lock file for devicePath, in one of the null-terminated
// directories, names a live process, or exists but cannot be read (a lock
// directory we may not search counts the same), or is a symbolic link, which
// is never followed (the directories are writable by every user, and a real
// lock is a regular file): the port is in use, or may be. False when there
// is none, or it is not a regular file, garbled, or names a process that is
// gone (a stale lock left by a crash).
bool LockFileHeld(const char* devicePath, const char* const* directories);

// The process id held by the first length bytes of a lock file, which need
// not be zero-terminated: 4 bytes with a NUL among them are a binary id in
// host byte order, anything else must be ASCII decimal digits, possibly led
// by spaces or tabs and ended by the end or a blank (space, tab, CR, LF or
// NUL). 0 when the content is neither, or its number does not fit in an int.
long LockFilePid(const char* content, size_t length);
