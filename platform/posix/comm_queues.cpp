#include <unistd.h>

#include "platform/posix/comm_table.h"

// The kernel's tty buffers have fixed sizes, so the sizes are only recorded;
// TRUE for any terminal handle, FALSE (ERROR_INVALID_HANDLE) for anything else.
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    CommRecord* record = CommTableHold(hFile);
    if (!record) return FALSE;
    // A port marked exclusive took TIOCEXCL, which only a terminal does: no
    // need to ask the kernel again.
    bool terminal = record->exclusiveSet || isatty(record->fd);
    if (terminal) {
        record->inQueue = dwInQueue;
        record->outQueue = dwOutQueue;
    }
    CommTableUnlock();
    if (!terminal) SetLastError(ERROR_INVALID_HANDLE);
    return terminal;
}
