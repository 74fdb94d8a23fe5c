#include <unistd.h>

#include "platform/posix/comm_table.h"

// The kernel's tty buffers have fixed sizes, so the sizes are only recorded;
// TRUE for any terminal handle, FALSE (ERROR_INVALID_HANDLE) for anything else.
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    CommRecord record;
    if (!CommTableFind(hFile, &record)) return FALSE;
    // A port marked exclusive took TIOCEXCL, which only a terminal does: no
    // need to ask the kernel again.
    if (!record.exclusiveSet && !isatty(record.fd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    record.inQueue = dwInQueue;
    record.outQueue = dwOutQueue;
    CommTableUpdate(&record);
    return TRUE;
}
