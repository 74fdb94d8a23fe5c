#include "platform/posix/comm_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/comm_table.h"
#include "platform/posix/last_error.h"

namespace {

const DWORD maxDword = 0xFFFFFFFFu;

// The one way settings reach a port: dcb's line settings when there is one;
// for a read or write (io), the record's time-outs and blocking mode where
// the port lacks them. ERROR_SUCCESS, or the error. What the kernel took is
// recorded, even when a later step failed.
DWORD Apply(CommRecord* record, const DCB* dcb, bool io)
{
    bool timeouts = io && !record->timeoutsApplied;
    if (dcb || timeouts) {
        struct termios2 settings = record->settings;
        if (!record->settingsKnown && TtyGetTermios2(record->fd, &settings) != 0) return Win32ErrorFromErrno(errno);
        // Kept before the request, which a driver may take in part and fail.
        if (!record->foundKept) {
            record->found = settings;
            record->foundKept = true;
        }
        if (dcb) Termios2FromDcb(dcb, &settings);
        if (timeouts) Termios2ReadTimeouts(&record->timeouts, &settings);
        if (TtySetTermios2(record->fd, &settings) != 0) return Win32ErrorFromErrno(errno);
        record->settings = settings;
        record->settingsKnown = true;
        record->timeoutsApplied |= timeouts;
    }
    if (dcb) {
        // DTR is left as it is: dropping it resets many boards. Under
        // handshake the kernel drives RTS itself.
        if (dcb->fRtsControl != RTS_CONTROL_HANDSHAKE) {
            bool raise = dcb->fRtsControl == RTS_CONTROL_ENABLE;
            // Ptys and some adapters have no modem lines: not a failure.
            if (TtyChangeModemBits(record->fd, TIOCM_RTS, raise) == 0)
                record->rtsDropped = !raise;
            else if (errno != EINVAL && errno != ENOTTY)
                return Win32ErrorFromErrno(errno);
        }
        record->configured = {dcb->XonLim, dcb->XoffLim, (BYTE)dcb->fRtsControl};
    }
    // F_SETFL leaves the access mode alone and O_NONBLOCK is the only status
    // flag the open asked for, so one call clears it.
    if (io && !record->blocking) {
        if (fcntl(record->fd, F_SETFL, 0) == -1) return Win32ErrorFromErrno(errno);
        record->blocking = true;
    }
    return ERROR_SUCCESS;
}

BOOL Answer(DWORD error)
{
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
}

}  // namespace

// The kernel's tty buffers have fixed sizes, so the sizes are ignored; TRUE
// for any terminal handle, FALSE (ERROR_INVALID_HANDLE) for anything else.
BOOL SetupComm(HANDLE hFile, DWORD, DWORD)
{
    CommHold port(hFile, hFile);
    if (!port.record) return FALSE;
    // Only a terminal takes TIOCEXCL: a port marked so needs no other look.
    if (!port.record->exclusiveSet && !isatty(port.record->fd)) return Answer(ERROR_INVALID_HANDLE);
    return TRUE;
}

// Fills the whole DCB. FALSE for a handle that is not a terminal, so the
// caller closes it; nothing here can block.
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    CommHold port(hFile, lpDCB);
    if (!port.record) return FALSE;
    // Until the read into the record succeeds, a change asks the kernel.
    port.record->settingsKnown = false;
    if (TtyGetTermios2(port.record->fd, &port.record->settings) != 0) return Answer(Win32ErrorFromErrno(errno));
    port.record->settingsKnown = true;
    DcbFromTermios2(&port.record->settings, &port.record->configured, lpDCB);
    return TRUE;
}

// FALSE with the port unchanged when DcbCheck or the kernel refuses the
// settings. A driver adjusting them (a pty keeps 8 data bits and no parity
// whatever is asked) is success.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    CommHold port(hFile, lpDCB);
    if (!port.record) return FALSE;
    DWORD refusal = DcbCheck(lpDCB);
    return Answer(refusal != ERROR_SUCCESS ? refusal : Apply(port.record, lpDCB, false));
}

// Records the time-outs for the reads and writes to come, refusing only what
// Windows refuses: all three read time-outs maximal.
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    CommHold port(hFile, lpCommTimeouts);
    if (!port.record) return FALSE;
    if (lpCommTimeouts->ReadIntervalTimeout == maxDword && lpCommTimeouts->ReadTotalTimeoutConstant == maxDword &&
        lpCommTimeouts->ReadTotalTimeoutMultiplier == maxDword)
        return Answer(ERROR_INVALID_PARAMETER);
    port.record->timeouts = *lpCommTimeouts;
    port.record->timeoutsApplied = false;
    return TRUE;
}

// The time-outs as last set; all zero before the first SetCommTimeouts.
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    CommHold port(hFile, lpCommTimeouts);
    if (!port.record) return FALSE;
    *lpCommTimeouts = port.record->timeouts;
    return TRUE;
}

bool CommReadyForIo(HANDLE h)
{
    DWORD earlier = GetLastError();
    CommHold port(h, h);
    if (!port.record) {
        SetLastError(earlier);
        return true;
    }
    return Answer(Apply(port.record, nullptr, true));
}
