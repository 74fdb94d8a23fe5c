// What this layer knows about each handle CreateFileA gave out, beyond what
// the kernel keeps for the descriptor. Records are copied in and out, so no
// pointer into the table outlives a call; every call is thread-safe.
#pragma once

#include "platform/posix/win32_subset.h"

struct CommRecord {
    int fd;
    bool exclusiveSet;         // we set TIOCEXCL, so closing must clear it
    DWORD inQueue;             // queue sizes SetupComm asked for; the kernel's
    DWORD outQueue;            //   tty buffers have fixed sizes
    COMMTIMEOUTS timeouts;     // as last given to SetCommTimeouts; zero at first
    WORD xonLim;               // from the last SetCommState: termios has no
    WORD xoffLim;              //   place for them
};

// False when memory ran out (ERROR_NOT_ENOUGH_MEMORY set); nothing was added.
bool CommTableAdd(const CommRecord* record);
// Copies out the record of h. False when h is not a handle CreateFileA gave
// and that is still open (ERROR_INVALID_HANDLE set).
bool CommTableFind(HANDLE h, CommRecord* record);
// CommTableFind for a call that needs its argument: false, with
// ERROR_INVALID_PARAMETER set, when argument is null.
bool CommTableFindFor(HANDLE h, const void* argument, CommRecord* record);
// Replaces the record with the same descriptor; false when it has gone.
bool CommTableUpdate(const CommRecord* record);
// Takes the record of h out of the table and copies it out. False, as for
// CommTableFind, when there is none: then nothing may be closed.
bool CommTableRemove(HANDLE h, CommRecord* record);
