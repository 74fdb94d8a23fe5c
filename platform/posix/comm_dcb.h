// DCB and COMMTIMEOUTS <-> termios2: the line settings as Win32 describes
// them and as the kernel keeps them. Pure translations; no system calls.
#pragma once

#include "platform/posix/tty_ioctl.h"
#include "platform/posix/win32_subset.h"

// ERROR_SUCCESS when a Windows serial driver would take dcb; otherwise the
// error it would give: ERROR_INVALID_PARAMETER for impossible settings,
// ERROR_NOT_SUPPORTED for those this kernel has no way to do.
DWORD DcbCheck(const DCB* dcb);

// What a DCB holds that termios2 has no place for, kept with the port.
struct DcbExtra {
    WORD xonLim;
    WORD xoffLim;
    BYTE rtsControl;  // as configured; from the open, RTS_CONTROL_ENABLE
};

// Fills the whole of *dcb from the port's settings and what was configured
// beyond them: the driver's configuration, as Windows reports it, not the
// live modem lines.
void DcbFromTermios2(const struct termios2* settings, const DcbExtra* extra, DCB* dcb);

// Writes a checked dcb into *settings, in raw mode. Fields the DCB does not
// describe keep their value (line discipline, VMIN/VTIME, other characters).
void Termios2FromDcb(const DCB* dcb, struct termios2* settings);

// Sets VMIN and VTIME in *settings to the nearest the kernel has to the read
// time-outs: termios counts only in tenths of a second, up to 25.5 seconds,
// and knows no per-byte multiplier.
void Termios2ReadTimeouts(const COMMTIMEOUTS* timeouts, struct termios2* settings);
