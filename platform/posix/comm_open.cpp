#include "platform/posix/comm_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/comm_table.h"
#include "platform/posix/handles.h"
#include "platform/posix/last_error.h"
#include "platform/posix/lock_file.h"
#include "platform/posix/tty_exclusive.h"

namespace {

// A name in the Win32 device namespace, \\.\ and the device, names the
// device itself, so callers may write it as they would on Windows.
const char devicePrefix[] = "\\\\.\\";

int OpenMode(DWORD access)
{
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) return O_RDWR;
    return (access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
}

// Undoes what the open took, in reverse order, keeping errno and the last
// error for the caller.
void Release(int fd, bool exclusiveSet)
{
    int saved = errno;
    if (exclusiveSet) TtyReleaseExclusive(fd);
    flock(fd, LOCK_UN);
    close(fd);
    errno = saved;
}

HANDLE Refuse(int fd, bool exclusiveSet, DWORD error)
{
    Release(fd, exclusiveSet);
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

    // Non-blocking, so that the open of a port without carrier cannot hang.
    // An absent name fails here, before any other system call.
    int fd = open(path, OpenMode(access) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }

    // Share mode 0: the port is refused when anyone else holds it in any of
    // the ways programs hold ports, before anything touches its settings.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Refuse(fd, false, ERROR_ACCESS_DENIED);
    bool exclusiveSet = false;
    switch (TtyClaimExclusive(fd)) {
    case TtyClaimHeld:
        return Refuse(fd, false, ERROR_ACCESS_DENIED);
    case TtyClaimFailed:
        return Refuse(fd, false, Win32ErrorFromErrno(errno));
    case TtyClaimTaken:
        exclusiveSet = true;
        break;
    case TtyClaimNotTerminal:
        break;
    }
    if (LockFileHeld(path, lockDirectories)) return Refuse(fd, exclusiveSet, ERROR_ACCESS_DENIED);

    // Reads and writes block as the time-outs say, as on Windows.
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1)
        return Refuse(fd, exclusiveSet, Win32ErrorFromErrno(errno));

    CommRecord record;
    std::memset(&record, 0, sizeof record);
    record.fd = fd;
    record.exclusiveSet = exclusiveSet;
    if (!CommTableAdd(&record)) return Refuse(fd, exclusiveSet, ERROR_NOT_ENOUGH_MEMORY);
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
    return CommOpen(lpFileName, dwDesiredAccess, systemLockDirectories);
}

// Only handles CreateFileA gave: anything else, or a handle already closed,
// fails with ERROR_INVALID_HANDLE and closes nothing (its descriptor number
// may by now belong to another open).
BOOL CloseHandle(HANDLE hObject)
{
    CommRecord record;
    if (!CommTableRemove(hObject, &record)) return FALSE;
    // No port is left exclusive, even if this process lives on.
    if (record.exclusiveSet) TtyReleaseExclusive(record.fd);
    flock(record.fd, LOCK_UN);
    // The descriptor is gone even when close reports an error, so it is
    // never closed twice.
    if (close(record.fd) != 0 && errno != EINTR) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}
