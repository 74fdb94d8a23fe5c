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

}  // namespace

// Fills the whole DCB. FALSE for a handle that is not a terminal, so the
// caller closes it; nothing here can block.
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    CommRecord record;
    if (!CommTableFindFor(hFile, lpDCB, &record)) return FALSE;
    struct termios2 settings;
    if (TtyGetTermios2(record.fd, &settings) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    record.settings = settings;
    record.settingsKnown = true;
    CommTableUpdate(&record);
    // The lines are read each time: the kernel may drive them (RTS under
    // handshake), and the DCB must say what they are, not what was asked.
    int modemBits;
    if (TtyGetModemBits(record.fd, &modemBits) != 0) modemBits = -1;
    DcbFromTermios2(&settings, modemBits, record.xonLim, record.xoffLim, lpDCB);
    return TRUE;
}

// FALSE with the port unchanged when the DCB is refused (see DcbCheck) or the
// kernel refuses the settings; the kernel's answer decides. The pty driver
// quietly keeps 8 data bits and no parity whatever is asked, and that is
// success, as a driver adjusting settings is.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    CommRecord record;
    if (!CommTableFindFor(hFile, lpDCB, &record)) return FALSE;
    DWORD refusal = DcbCheck(lpDCB);
    if (refusal != ERROR_SUCCESS) {
        SetLastError(refusal);
        return FALSE;
    }
    struct termios2 settings;
    if (CommRecordSettings(&record, &settings) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    Termios2FromDcb(lpDCB, &settings);
    Termios2ReadTimeouts(&record.timeouts, &settings);
    if (TtySetTermios2(record.fd, &settings) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    record.settings = settings;
    record.settingsKnown = true;
    // DTR is left as it is: dropping it resets many boards. Under handshake
    // the kernel drives RTS itself.
    if (lpDCB->fRtsControl != RTS_CONTROL_HANDSHAKE &&
        TtyChangeModemBits(record.fd, TIOCM_RTS, lpDCB->fRtsControl == RTS_CONTROL_ENABLE) != 0 &&
        !NoModemLines(errno)) {
        int failure = errno;
        // The line settings did change.
        CommTableUpdate(&record);
        SetLastErrorFromErrno(failure);
        return FALSE;
    }
    record.xonLim = lpDCB->XonLim;
    record.xoffLim = lpDCB->XoffLim;
    CommTableUpdate(&record);
    return TRUE;
}
