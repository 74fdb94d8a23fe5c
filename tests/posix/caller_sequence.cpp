#include "tests/posix/caller_sequence.h"

#include "platform/posix/comm_open.h"

namespace {

// Closes the handle keeping the last error of the call that failed.
HANDLE GiveUp(HANDLE handle)
{
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

LineSettings DefaultLine()
{
    return LineSettings{38400, EVENPARITY, 8, ONESTOPBIT, 0, 4096, 4096};
}

HANDLE OpenLikeTheCaller(const char* path, const LineSettings& line, const char* const* lockDirectories)
{
    HANDLE handle = lockDirectories ? CommOpen(path, GENERIC_READ | GENERIC_WRITE, lockDirectories)
                                    : CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    if (line.inQueue > 0 && line.outQueue > 0) SetupComm(handle, line.inQueue, line.outQueue);
    DCB dcb;
    if (!GetCommState(handle, &dcb)) return GiveUp(handle);
    dcb.BaudRate = line.baud;
    dcb.Parity = line.parity;
    dcb.ByteSize = line.dataBits;
    dcb.fParity = 1;
    dcb.StopBits = line.stopBits;
    if (line.handshake == 0 || line.handshake == 1) {
        dcb.fOutxCtsFlow = 0;
        dcb.fRtsControl = line.handshake == 0 ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
    } else if (line.handshake == 2) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (line.handshake == 3) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = (WORD)(line.inQueue / 10);
        dcb.XoffLim = (WORD)((line.inQueue / 10) * 7);
    }
    if (!SetCommState(handle, &dcb)) return GiveUp(handle);
    COMMTIMEOUTS timeouts = {100, 10, 100, 100, 10};
    SetCommTimeouts(handle, &timeouts);
    return handle;
}
