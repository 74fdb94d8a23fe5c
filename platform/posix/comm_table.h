// What this layer knows about each handle CreateFileA gave out, beyond what
// the kernel keeps for the descriptor, and the one way to reach it: a
// CommHold. Every call is thread-safe. The table is also the layer's
// authority on which ports are ours: whatever ends the process, every port
// still in it is released first, as Windows closes the handles of a process
// that ends.
#pragma once

#include "platform/posix/comm_dcb.h"
#include "platform/posix/tty_ioctl.h"
#include "platform/posix/win32_subset.h"

struct CommRecord {
    int fd;
    bool exclusiveSet;      // we set TIOCEXCL, so closing must clear it
    COMMTIMEOUTS timeouts;  // as last given to SetCommTimeouts; zero at first
    // Windows applies time-outs and blocking to reads and writes only, so
    // they reach the port at the first ReadFile or WriteFile after they were
    // given (see CommReadyForIo); a scan never sends them.
    bool timeoutsApplied;   // VMIN/VTIME on the port follow timeouts
    bool blocking;          // O_NONBLOCK, which the open needs, cleared
    DcbExtra configured;
    // The line settings as last read or as last accepted by the kernel, so a
    // change starts from them without asking again: the port is ours alone
    // while open, and a driver adjusts a copy sent again the same way.
    bool settingsKnown;
    struct termios2 settings;
    // What the close puts back: the settings before the first change (when
    // foundKept), and RTS, raised by the open, when it was dropped.
    bool foundKept;
    struct termios2 found;
    bool rtsDropped;
};

// Holds the table against the sweep (CommTableCloseAll) and every other
// call for as long as it lives, so that the sweep never meets a port half
// claimed or half released; never held across a read or write that can block.
struct CommHold {
    // For a claim or a release: held is false, with ERROR_ACCESS_DENIED set
    // and nothing held, once the sweep has begun.
    CommHold();
    // For a call on h's port: record is h's, or null with nothing held when
    // h is not a handle CreateFileA gave and that is still open
    // (ERROR_INVALID_HANDLE set) or argument is null (ERROR_INVALID_PARAMETER).
    // Meanwhile the port can be neither released nor its descriptor reused.
    CommHold(HANDLE h, const void* argument);
    ~CommHold();
    CommHold(const CommHold&) = delete;
    CommHold& operator=(const CommHold&) = delete;

    bool held;
    CommRecord* record;
};

// A new record for fd, zero but for fd, to be filled in place while table
// is held. Null when memory ran out (ERROR_NOT_ENOUGH_MEMORY set); nothing
// was added.
CommRecord* CommTableAdd(const CommHold& table, int fd);
// Takes the record of h out of the table and copies it out. False, with
// ERROR_INVALID_HANDLE set, when h is not a handle CreateFileA gave and that
// is still open: then nothing may be closed.
bool CommTableRemove(const CommHold& table, HANDLE h, CommRecord* record);
// The sweep: refuses every later claim, waits for a hold under way (or,
// without wait, does nothing while one is under way), then hands each record
// still in the table to release and empties the table. Safe to call more
// than once and from any thread that holds no CommHold.
void CommTableCloseAll(bool (*release)(const CommRecord* record), bool wait);
