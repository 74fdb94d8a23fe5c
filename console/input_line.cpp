#include <cstring>

#include "console/console.h"
#include "console/console_state.h"
#include "platform/heaps.h"

static const LONG readChunk = 4096;
// Below this much room left, the working space grows by another chunk.
static const LONG minimumRoom = 512;
static const char endOfInput = 0x04;
static const char consoleEndOfFile = 0x1A;  // Ctrl-Z

// Working space in the temporary area: the line is assembled at P, p is
// buffer + P (taken afresh after every growth) and req is what has been
// reserved, so end = P + req.
struct LineSpace {
    AreaPosition P;
    char* p;
    LONG req;
};

// Keeps the bytes after a line end for the next call. A block that cannot be
// had ends the run: input read and then dropped would be lost for good.
static void KeepPending(const char* bytes, LONG count)
{
    PendingInput = (char*)HeapAlloc(MainHeap, 0, (SIZE_T)count + 1);
    if (!PendingInput) ExitOutOfMemory();
    std::memcpy(PendingInput, bytes, (size_t)count);
    PendingInput[count] = 0;
}

// Redirected input: returns the line's length. Caller holds InputLock.
static LONG ReadStreamLine(LineSpace* space)
{
    LONG len = 0;
    if (PendingInput) {
        LONG pending = (LONG)std::strlen(PendingInput);
        if (pending >= space->req) {
            space->req = pending + readChunk;
            space->p = reserve(space->req, space->P);
        }
        std::memcpy(space->p, PendingInput, (size_t)pending + 1);
        len = pending;
        HeapFree(MainHeap, 0, PendingInput);
        PendingInput = nullptr;
    }
    LONG room = space->req - len;
    LONG i = 0;
    for (;;) {
        char* p = space->p;
        while (i < len && p[i] != '\r' && p[i] != '\n') i++;
        if (i < len) {
            // CR LF is one line end; a lone CR or LF is one too. A CR that is
            // the last byte so far ends the line now, without waiting for
            // an LF that may never come.
            LONG k = i + 1;
            if (p[i] == '\r' && k < len && p[k] == '\n') k++;
            if (k < len) KeepPending(p + k, len - k);
            return i;
        }
        if (room < minimumRoom) {
            room = readChunk;
            space->req = len + readChunk;
            space->p = reserve(space->req, space->P);
        }
        DWORD count = 0;
        if (ReadFile(StandardInput, space->p + len, (DWORD)room, &count, nullptr)) {
            if (count == 0) break;
            len += (LONG)count;
            room -= (LONG)count;
        } else if (GetLastError() == ERROR_BROKEN_PIPE) {
            break;
        } else {
            return len;
        }
    }
    if (len == 0) {
        space->p[0] = endOfInput;
        len = 1;
    }
    return len;
}

char* ConsoleInputLine(AreaPosition P)
{
    LineSpace space = {P, nullptr, readChunk};
    space.p = reserve(readChunk, P);
    LONG len = 0;
    SetConsoleMode(StandardInput, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
    DWORD count = 0;
    if (ReadConsoleA(StandardInput, space.p, (DWORD)readChunk, &count, nullptr) == TRUE) {
        len = (LONG)count;
        if (len >= 2 && space.p[len - 2] == '\r') len -= 2;
        if (len == 1 && space.p[0] == consoleEndOfFile) space.p[0] = endOfInput;
    } else {
        EnterCriticalSection(&InputLock);
        len = ReadStreamLine(&space);
        LeaveCriticalSection(&InputLock);
    }
    release(space.req - len);
    space.p[len] = 0;
    return tempArea.buffer + P;
}
