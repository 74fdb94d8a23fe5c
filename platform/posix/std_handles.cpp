// Standard handles and plain file I/O on descriptors.
#include "platform/posix/std_handles.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/close_event.h"
#include "platform/posix/comm_port.h"
#include "platform/posix/handles.h"
#include "platform/posix/interrupted.h"
#include "platform/posix/last_error.h"

namespace {

HANDLE standardHandles[3];
bool notTerminal[3];
pthread_once_t standardHandlesOnce = PTHREAD_ONCE_INIT;

// Decided once, before any port can be opened: a standard descriptor that is
// closed now has no handle, so that a port later given the same descriptor
// is never taken for standard input or output. One request per descriptor
// tells both that and whether it is a terminal.
void TakeStandardHandles()
{
    for (int fd = 0; fd < 3; fd++) {
        errno = 0;
        bool terminal = isatty(fd);
        standardHandles[fd] = !terminal && errno == EBADF ? nullptr : DescriptorToHandle(fd);
        notTerminal[fd] = !terminal && errno == ENOTTY;
    }
    // Writing to a pipe whose reader has gone fails with ERROR_BROKEN_PIPE,
    // as on Windows, instead of killing the process.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

void EnsureStandardHandles()
{
    pthread_once(&standardHandlesOnce, TakeStandardHandles);
}

// The descriptor of h for a read or write, once a port has what it needs
// for one; false, with the last error set, otherwise.
bool DescriptorForIo(HANDLE h, int* fd)
{
    if (!DescriptorOf(h, fd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // A standard handle is never a port's (see TakeStandardHandles), so
    // output lines need not look in the port table.
    EnsureStandardHandles();
    for (HANDLE standard : standardHandles)
        if (h == standard) return true;
    return CommReadyForIo(h);
}

}  // namespace

bool StdHandleNotTerminal(HANDLE h)
{
    EnsureStandardHandles();
    for (int fd = 0; fd < 3; fd++)
        if (h && h == standardHandles[fd]) return notTerminal[fd];
    return false;
}

HANDLE GetStdHandle(DWORD nStdHandle)
{
    EnsureStandardHandles();
    // STD_INPUT_HANDLE, STD_OUTPUT_HANDLE and STD_ERROR_HANDLE count down.
    DWORD which = STD_INPUT_HANDLE - nStdHandle;
    if (which < 3) return standardHandles[which];
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    int fd;
    if (!DescriptorForIo(hFile, &fd)) return FALSE;
    ssize_t count = Transfer(fd, lpBuffer, nNumberOfBytesToRead, true);
    if (count < 0) return FailFromErrno();
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = (DWORD)count;
    return TRUE;
}

ssize_t Transfer(int fd, void* bytes, size_t n, bool reading)
{
    WaitMark waiting;
    for (;;) {
        ssize_t count = RetryInterrupted([&] { return reading ? read(fd, bytes, n) : write(fd, bytes, n); });
        if (count >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return count;
        pollfd ready = {fd, (short)(reading ? POLLIN : POLLOUT), 0};
        if (RetryInterrupted([&] { return poll(&ready, 1, -1); }) < 0) return -1;
    }
}

size_t WriteAll(int fd, const char* bytes, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t count = Transfer(fd, (void*)(bytes + done), n - done, false);
        if (count <= 0) {
            SetLastErrorFromErrno(count < 0 ? errno : EPIPE);
            break;
        }
        done += (size_t)count;
    }
    return done;
}

// Writes everything, as a synchronous Win32 write does; a short count means
// the write failed part-way.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED)
{
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    int fd;
    if (!DescriptorForIo(hFile, &fd)) return FALSE;
    DWORD done = (DWORD)WriteAll(fd, (const char*)lpBuffer, nNumberOfBytesToWrite);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return done == nNumberOfBytesToWrite;
}
