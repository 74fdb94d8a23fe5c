#include "app/end_action.h"

#include "platform/win32.h"
#include "serial/serial_port.h"

// A static record, not heap memory: the close event may still arrive after
// the main heap is gone.
static CRITICAL_SECTION endActionLock;
static int shutdownBegun = 0;

void EndActionInit(void)
{
    InitializeCriticalSection(&endActionLock);
}

void EndAction(void)
{
    SerialPortCloseAll();
}

void EndActionOnCloseEvent(void)
{
    EnterCriticalSection(&endActionLock);
    if (!shutdownBegun) EndAction();
    LeaveCriticalSection(&endActionLock);
}

void EndActionShutdownBegins(void)
{
    EnterCriticalSection(&endActionLock);
    shutdownBegun = 1;
    LeaveCriticalSection(&endActionLock);
}
