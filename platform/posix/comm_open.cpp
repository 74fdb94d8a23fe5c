#include "platform/posix/comm_open.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/close_event.h"
#include "platform/posix/comm_table.h"
#include "platform/posix/handles.h"
#include "platform/posix/last_error.h"
#include "platform/posix/lock_file.h"
#include "platform/posix/port_holders.h"

// The C library's own wrappers of the two system calls; it declares neither.
extern "C" int capget(cap_user_header_t header, cap_user_data_t data);
extern "C" int capset(cap_user_header_t header, const cap_user_data_t data);

namespace {

// \\.\ and the device names the device itself, as callers write it on Windows.
const char devicePrefix[] = "\\\\.\\";

// Whether the kernel refuses us a terminal another open marked exclusive, as
// it refuses every thread without CAP_SYS_ADMIN. Nothing here needs that
// capability, so at this thread's first open it leaves the effective set.
// False where it may not (capset forbidden): the mark must then be asked for.
bool MarkRefusedByKernel()
{
    static thread_local int refused = -1;
    if (refused >= 0) return refused;
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3];
    const __u32 admin = CAP_TO_MASK(CAP_SYS_ADMIN);
    refused = capget(&header, sets) == 0;
    if (refused && (sets[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & admin)) {
        sets[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective &= ~admin;
        refused = capset(&header, sets) == 0;
    }
    return refused;
}

int OpenMode(DWORD access)
{
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) return O_RDWR;
    return (access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
}

// Undoes what a claim took, in reverse order. The settings go back as the
// claim found them, and RTS as the open left it (raised, unless at B0), for
// a Linux terminal keeps them after its last close where Windows' die with
// the handle. Then exclusive mode, then the descriptor: its close drops the
// flock, whose only open file description it is (close-on-exec, never
// duplicated, no fork here). False, with the first failure's errno, when a
// step failed; every step is tried, and the descriptor is gone either way.
bool Release(const CommRecord* record)
{
    int failure = 0;
    auto step = [&](bool done) {
        if (!done && !failure) failure = errno;
    };
    if (record->foundKept) step(TtySetTermios2(record->fd, &record->found) == 0);
    if (record->rtsDropped && (record->found.c_cflag & CBAUD) != B0)
        step(TtyChangeModemBits(record->fd, TIOCM_RTS, true) == 0);
    if (record->exclusiveSet) step(TtyReleaseExclusive(record->fd));
    // Linux frees the descriptor even when close is interrupted, so it is
    // never closed twice.
    if (close(record->fd) != 0 && errno != EINTR) step(false);
    if (failure) errno = failure;
    return !failure;
}

HANDLE Fail(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Gives up a claim under way: the record of fd leaves the table, and the
// port is released with the table still held, so the sweep never sees it
// half done.
HANDLE Refuse(const CommHold& table, int fd, DWORD error)
{
    CommRecord removed;
    if (CommTableRemove(table, DescriptorToHandle(fd), &removed))
        Release(&removed);
    else
        close(fd);  // no record: memory ran out before it was added
    return Fail(error);
}

}  // namespace

HANDLE CommOpen(LPCSTR path, DWORD access, const char* const* lockDirectories)
{
    if (!path) return Fail(ERROR_INVALID_PARAMETER);
    if (std::strncmp(path, devicePrefix, sizeof devicePrefix - 1) == 0) path += sizeof devicePrefix - 1;
    // Whatever needs no descriptor is asked first, because the open of a
    // terminal raises DTR and RTS, also under another process that has it.
    struct stat named;
    if (stat(path, &named) != 0) return Fail(Win32ErrorFromErrno(errno));
    // Before the open, so that a port marked exclusive fails right there.
    bool askForMark = !MarkRefusedByKernel();
    // From the open on, a terminating signal must find the port in the
    // table, to release it.
    if (!CloseEventReady()) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    CommHold table;
    if (!table.held) return INVALID_HANDLE_VALUE;
    if (!lockDirectories) lockDirectories = SystemLockDirectories();
    PortHolders holders = LockFileHeld(path, lockDirectories) ? PortHoldersSeen : PortHeldElsewhere(&named);
    if (holders != PortHoldersNone)
        return Fail(holders == PortHoldersSeen ? ERROR_ACCESS_DENIED : ERROR_NOT_ENOUGH_MEMORY);

    // Non-blocking, so that the open of a port without carrier cannot hang.
    // A port marked exclusive by another open fails with EBUSY.
    int fd = open(path, OpenMode(access) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(Win32ErrorFromErrno(errno));
    CommRecord* record = CommTableAdd(table, fd);
    if (!record) return Refuse(table, fd, ERROR_NOT_ENOUGH_MEMORY);
    // The name may have come to name another node since the look: what was
    // looked at is not what was opened, so it may be held.
    struct stat opened;
    if (fstat(fd, &opened) != 0 || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino ||
        opened.st_rdev != named.st_rdev)
        return Refuse(table, fd, ERROR_ACCESS_DENIED);

    // Whoever opened the port since the look is stopped here, by a lock or
    // an exclusive mark, before the first change to the port.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Refuse(table, fd, ERROR_ACCESS_DENIED);
    TtyExclusive mark = askForMark ? TtyExclusiveState(fd) : TtyExclusiveFree;
    if (mark == TtyExclusiveHeld) return Refuse(table, fd, ERROR_ACCESS_DENIED);
    if (mark != TtyExclusiveFailed) mark = TtyTakeExclusive(fd);
    if (mark == TtyExclusiveFailed) return Refuse(table, fd, Win32ErrorFromErrno(errno));
    record->exclusiveSet = mark == TtyExclusiveTaken;
    record->configured.rtsControl = RTS_CONTROL_ENABLE;
    return DescriptorToHandle(fd);
}

// Comm ports are exclusive whatever the share mode, as on Windows; nothing is
// ever created, so only OPEN_EXISTING is taken.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE)
{
    if (dwCreationDisposition != OPEN_EXISTING) return Fail(ERROR_INVALID_PARAMETER);
    return CommOpen(lpFileName, dwDesiredAccess, nullptr);
}

// Only handles CreateFileA gave: anything else, or a handle already closed,
// fails with ERROR_INVALID_HANDLE and closes nothing (its descriptor number
// may by now belong to another open).
BOOL CloseHandle(HANDLE hObject)
{
    CommHold table;
    // Once the sweep has begun it has closed every handle.
    if (!table.held) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    CommRecord record;
    if (!CommTableRemove(table, hObject, &record)) return FALSE;
    return Release(&record) ? TRUE : FailFromErrno();
}

void CommCloseAll(void)
{
    CommTableCloseAll(Release, true);
}

void CommCloseAllUnlessHeld(void)
{
    CommTableCloseAll(Release, false);
}
