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

// A name in the Win32 device namespace, \\.\ and the device, names the
// device itself, so callers may write it as they would on Windows.
const char devicePrefix[] = "\\\\.\\";

// Whether the kernel itself refuses us a terminal another open marked
// exclusive, as it refuses every process without CAP_SYS_ADMIN. Nothing here
// needs that capability, so at this thread's first open it leaves the
// effective set (capabilities are per thread). Where it may not (a filter
// forbids capset), false: the mark must then be asked for at every claim.
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

// Puts back what the handle changed, as Windows' settings die with the
// handle but a Linux terminal keeps them after its last close: the line
// settings as the claim found them, then RTS as the open left it (raised,
// unless the port was at B0). DTR was never changed. True when nothing was
// changed or all of it went back; else false, with errno.
bool Restore(const CommRecord* record)
{
    bool restored = !record->foundKept || TtySetTermios2(record->fd, &record->found) == 0;
    int failure = errno;
    if (record->rtsDropped && (record->found.c_cflag & CBAUD) != B0 &&
        TtyChangeModemBits(record->fd, TIOCM_RTS, true) != 0 && restored) {
        restored = false;
        failure = errno;
    }
    errno = failure;
    return restored;
}

// Undoes what a claim took, in reverse order: the settings, exclusive mode,
// then the descriptor, whose close drops the lock. False, with errno, when
// one of them failed; the descriptor is gone either way.
//
// No separate unlock: a flock belongs to the open file description, and the
// descriptor is its only one (opened close-on-exec, never duplicated, and
// this layer never forks), so closing it lets the lock go.
bool Release(const CommRecord* record)
{
    bool released = Restore(record);
    int failure = errno;
    if (record->exclusiveSet && !TtyReleaseExclusive(record->fd) && released) {
        released = false;
        failure = errno;
    }
    // Linux frees the descriptor even when close is interrupted, so it is
    // never closed twice.
    if (close(record->fd) != 0 && errno != EINTR && released) {
        released = false;
        failure = errno;
    }
    errno = failure;
    return released;
}

// Gives up a claim under way: the record of fd leaves the table, and the
// port is released with the table still held, so the sweep never sees it
// half done.
HANDLE Refuse(const CommHold& table, int fd, DWORD error)
{
    CommRecord removed;
    if (CommTableRemove(table, DescriptorToHandle(fd), &removed)) {
        Release(&removed);
    } else {
        close(fd);  // no record: memory ran out before it was added
    }
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE CommOpen(LPCSTR path, DWORD access, const char* const* lockDirectories)
{
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (std::strncmp(path, devicePrefix, sizeof devicePrefix - 1) == 0) path += sizeof devicePrefix - 1;
    // Share mode 0: the port is refused when anyone else holds it in any of
    // the ways programs hold ports. Whatever needs no descriptor is asked
    // first, because the open of a terminal itself raises DTR and RTS, also
    // under another process that has it open. An absent name fails here,
    // in this one call.
    struct stat named;
    if (stat(path, &named) != 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    // Before the open: a port marked exclusive must fail right there.
    bool askForMark = !MarkRefusedByKernel();
    // From the open on a terminating signal must find the port in the
    // table, so those signals are taken as close events, which release
    // what we hold.
    if (!CloseEventReady()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    CommHold table;
    if (!table.held) return INVALID_HANDLE_VALUE;
    if (!lockDirectories) lockDirectories = SystemLockDirectories();
    if (LockFileHeld(path, lockDirectories)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    switch (PortHeldElsewhere(&named)) {
    case PortHoldersSeen:
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    case PortHoldersOutOfMemory:
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    default:
        break;
    }

    // Non-blocking, so that the open of a port without carrier cannot hang.
    // A port marked exclusive by another open fails with EBUSY.
    int fd = open(path, OpenMode(access) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
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
    switch (askForMark ? TtyExclusiveState(fd) : TtyExclusiveFree) {
    case TtyExclusiveHeld:
        return Refuse(table, fd, ERROR_ACCESS_DENIED);
    case TtyExclusiveFailed:
        return Refuse(table, fd, Win32ErrorFromErrno(errno));
    default:
        break;
    }
    switch (TtyTakeExclusive(fd)) {
    case TtyExclusiveTaken:
        record->exclusiveSet = true;
        break;
    case TtyExclusiveFailed:
        return Refuse(table, fd, Win32ErrorFromErrno(errno));
    default:
        break;
    }
    record->configured.rtsControl = RTS_CONTROL_ENABLE;
    return DescriptorToHandle(fd);
}

// Comm ports are exclusive whatever the share mode, as on Windows; nothing is
// ever created, so only OPEN_EXISTING is taken.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE)
{
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
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
    // No port is left exclusive, even if this process lives on.
    CommRecord record;
    if (!CommTableRemove(table, hObject, &record)) return FALSE;
    if (Release(&record)) return TRUE;
    SetLastErrorFromErrno(errno);
    return FALSE;
}

void CommCloseAll(void)
{
    CommTableCloseAll(Release, true);
}

void CommCloseAllUnlessHeld(void)
{
    CommTableCloseAll(Release, false);
}
