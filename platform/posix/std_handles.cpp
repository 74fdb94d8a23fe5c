// Standard handles and plain file I/O on descriptors.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/handles.h"
#include "platform/posix/last_error.h"

namespace {

HANDLE standardHandles[3];
pthread_once_t standardHandlesOnce = PTHREAD_ONCE_INIT;

// Decided once, before any port can be opened: a standard descriptor that is
// closed now has no handle, so that a port later given the same descriptor
// is never taken for standard input or output.
void TakeStandardHandles()
{
    for (int fd = 0; fd < 3; fd++) standardHandles[fd] = fcntl(fd, F_GETFD) == -1 ? nullptr : DescriptorToHandle(fd);
    // Writing to a pipe whose reader has gone fails with ERROR_BROKEN_PIPE,
    // as on Windows, instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
}

bool DescriptorOf(HANDLE h, int* fd)
{
    if (!h || h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *fd = HandleToDescriptor(h);
    return true;
}

}  // namespace

HANDLE GetStdHandle(DWORD nStdHandle)
{
    pthread_once(&standardHandlesOnce, TakeStandardHandles);
    switch (nStdHandle) {
    case STD_INPUT_HANDLE:
        return standardHandles[0];
    case STD_OUTPUT_HANDLE:
        return standardHandles[1];
    case STD_ERROR_HANDLE:
        return standardHandles[2];
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    int fd;
    if (!DescriptorOf(hFile, &fd)) return FALSE;
    ssize_t count;
    do count = read(fd, lpBuffer, nNumberOfBytesToRead);
    while (count < 0 && errno == EINTR);
    if (count < 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = (DWORD)count;
    return TRUE;
}

// Writes everything, as a synchronous Win32 write does; a short count means
// the write failed part-way.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED)
{
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    int fd;
    if (!DescriptorOf(hFile, &fd)) return FALSE;
    const char* bytes = (const char*)lpBuffer;
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t count = write(fd, bytes + done, nNumberOfBytesToWrite - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            SetLastErrorFromErrno(count < 0 ? errno : EPIPE);
            if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
            return FALSE;
        }
        done += (DWORD)count;
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return TRUE;
}
