#include "platform/posix/last_error.h"

#include <cerrno>

static thread_local DWORD lastError = ERROR_SUCCESS;

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

DWORD Win32ErrorFromErrno(int err)
{
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: case ENODEV: case ENXIO: case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES: case EPERM: case EBUSY: case EWOULDBLOCK: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: case ENOTTY: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
    }
}

void SetLastErrorFromErrno(int err)
{
    SetLastError(Win32ErrorFromErrno(err));
}

BOOL FailFromErrno(void)
{
    SetLastErrorFromErrno(errno);
    return FALSE;
}
