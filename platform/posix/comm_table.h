// What this layer knows about each handle CreateFileA gave out, beyond what
// the kernel keeps for the descriptor. A pointer into the table is good only
// while the table is held; every call is thread-safe.
//
// The table is also the layer's authority on which ports are ours: whatever
// ends the process, every port still in it is released first, as Windows
// closes every handle of a process that ends.
#pragma once

#include "platform/posix/tty_ioctl.h"
#include "platform/posix/win32_subset.h"

struct CommRecord {
    int fd;
    bool exclusiveSet;         // we set TIOCEXCL, so closing must clear it
    DWORD inQueue;             // queue sizes SetupComm asked for; the kernel's
    DWORD outQueue;            //   tty buffers have fixed sizes
    COMMTIMEOUTS timeouts;     // as last given to SetCommTimeouts; zero at first
    WORD xonLim;               // from the last SetCommState: termios has no
    WORD xoffLim;              //   place for them
    // The line settings as last read by GetCommState or as last sent in a
    // request the kernel accepted, so that a change starts from them without
    // asking the kernel again. The port is ours alone while open; where a
    // driver adjusted a request (a pty keeps 8 data bits), sending the copy
    // again gets the same adjustment.
    bool settingsKnown;
    struct termios2 settings;
};

// Holds the table against CommTableCloseAll until CommTableUnlock, around a
// claim or a release, so that the sweep never meets a port half claimed or
// half released. False, with ERROR_ACCESS_DENIED set and nothing held, once
// the sweep has begun: from then on no port is claimed.
bool CommTableLock(void);
void CommTableUnlock(void);
// Under CommTableLock: a new record for fd, zero but for fd, to be filled in
// place while the table stays held. Null when memory ran out
// (ERROR_NOT_ENOUGH_MEMORY set); nothing was added.
CommRecord* CommTableAdd(int fd);
// Under CommTableLock: takes the record of h out of the table and copies it
// out. False, with ERROR_INVALID_HANDLE set, when h is not a handle
// CreateFileA gave and that is still open: then nothing may be closed.
bool CommTableRemove(HANDLE h, CommRecord* record);
// For a call on h's port: its record, read and changed in place while the
// table is held, as by CommTableLock, until CommTableUnlock; meanwhile the
// port can be neither released nor its descriptor reused. Null, with nothing
// held, when h is not a handle CreateFileA gave and that is still open
// (ERROR_INVALID_HANDLE set).
CommRecord* CommTableHold(HANDLE h);
// CommTableHold for a call that needs its argument: null, with
// ERROR_INVALID_PARAMETER set and nothing held, when argument is null.
CommRecord* CommTableHoldFor(HANDLE h, const void* argument);
// The settings a change to record's port starts from: the record's own when
// it has them, else the kernel's. 0, or -1 with errno set, as ioctl.
int CommRecordSettings(const CommRecord* record, struct termios2* settings);
// The sweep: refuses every later claim, waits for a claim or release under
// way, then hands each record still in the table to release and empties the
// table. Safe to call more than once and from any thread.
void CommTableCloseAll(bool (*release)(const CommRecord* record));
