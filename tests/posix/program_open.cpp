#include "tests/posix/program_open.h"

#include "platform/heaps.h"
#include "serial/serial_port.h"

namespace {

// Tests open one port at a time, in a numbered slot, so that the open
// hands back the handle itself.
const ObjectId testSlot = 0;

void StartOnce()
{
    static bool started = false;
    if (started) return;
    MainHeap = HeapCreate(0, 4096, 0);
    SerialPortsInit();
    started = true;
}

}  // namespace

HANDLE OpenLikeTheProgram(const char* path, const ScanLineSettings& line)
{
    StartOnce();
    ObjectId handle = SerialPortOpen(testSlot, path, line.baud, line.parity, line.dataBits, line.stopBits,
                                     line.handshake, line.inQueue, line.outQueue);
    return handle ? LongToHandle((LONG)handle) : INVALID_HANDLE_VALUE;
}

bool CloseLikeTheProgram(HANDLE handle)
{
    DCB dcb;
    bool wasOpen = GetCommState(handle, &dcb);
    SerialPortClose(testSlot);
    // A second close of a closed handle is refused as invalid.
    SetLastError(ERROR_SUCCESS);
    return wasOpen && !CloseHandle(handle) && GetLastError() == ERROR_INVALID_HANDLE;
}
