// GetCommState and SetCommState over the termios2 requests.
#include <cerrno>
#include <cstring>

#include "platform/posix/comm_dcb.h"
#include "platform/posix/comm_table.h"
#include "platform/posix/comm_timeouts.h"
#include "platform/posix/last_error.h"
#include "platform/posix/tty_ioctl.h"

namespace {

// Ptys and some adapters have no modem lines; their refusal is not a failure.
bool NoModemLines(int err)
{
    return err == EINVAL || err == ENOTTY;
}

// GetCommState on a held record: ERROR_SUCCESS, or the error.
DWORD ReadState(CommRecord* record, DCB* dcb)
{
    struct termios2 settings;
    if (TtyGetTermios2(record->fd, &settings) != 0) return Win32ErrorFromErrno(errno);
    record->settings = settings;
    record->settingsKnown = true;
    // The lines are read each time: the kernel may drive them (RTS under
    // handshake), and the DCB must say what they are, not what was asked.
    int modemBits;
    if (TtyGetModemBits(record->fd, &modemBits) != 0) modemBits = -1;
    DcbFromTermios2(&settings, modemBits, record->xonLim, record->xoffLim, dcb);
    return ERROR_SUCCESS;
}

// SetCommState on a held record: ERROR_SUCCESS, or the error. The record
// follows the port: new settings once the kernel took them, even when RTS
// then failed.
DWORD WriteState(CommRecord* record, const DCB* dcb)
{
    DWORD refusal = DcbCheck(dcb);
    if (refusal != ERROR_SUCCESS) return refusal;
    struct termios2 settings;
    if (CommRecordSettings(record, &settings) != 0) return Win32ErrorFromErrno(errno);
    Termios2FromDcb(dcb, &settings);
    Termios2ReadTimeouts(&record->timeouts, &settings);
    if (TtySetTermios2(record->fd, &settings) != 0) return Win32ErrorFromErrno(errno);
    record->settings = settings;
    record->settingsKnown = true;
    // DTR is left as it is: dropping it resets many boards. Under handshake
    // the kernel drives RTS itself.
    if (dcb->fRtsControl != RTS_CONTROL_HANDSHAKE &&
        TtyChangeModemBits(record->fd, TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE) != 0 &&
        !NoModemLines(errno))
        return Win32ErrorFromErrno(errno);
    record->xonLim = dcb->XonLim;
    record->xoffLim = dcb->XoffLim;
    return ERROR_SUCCESS;
}

// The answer of a call made on a held record, which is let go.
BOOL Answer(DWORD error)
{
    CommTableUnlock();
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
}

}  // namespace

// Fills the whole DCB. FALSE for a handle that is not a terminal, so the
// caller closes it; nothing here can block.
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    CommRecord* record = CommTableHoldFor(hFile, lpDCB);
    return record ? Answer(ReadState(record, lpDCB)) : FALSE;
}

// FALSE with the port unchanged when the DCB is refused (see DcbCheck) or the
// kernel refuses the settings; the kernel's answer decides. The pty driver
// quietly keeps 8 data bits and no parity whatever is asked, and that is
// success, as a driver adjusting settings is.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    CommRecord* record = CommTableHoldFor(hFile, lpDCB);
    return record ? Answer(WriteState(record, lpDCB)) : FALSE;
}
