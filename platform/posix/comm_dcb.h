// DCB <-> termios2: the line settings as Win32 describes them and as the
// kernel keeps them. Pure translations; no system calls.
#pragma once

#include "platform/posix/tty_ioctl.h"
#include "platform/posix/win32_subset.h"

// ERROR_SUCCESS when a Windows serial driver would take dcb; otherwise the
// error it would give: ERROR_INVALID_PARAMETER for impossible settings,
// ERROR_NOT_SUPPORTED for those this kernel has no way to do.
DWORD DcbCheck(const DCB* dcb);

// Fills the whole of *dcb from the port's settings. modemBits is the TIOCMGET
// answer, or -1 when the lines cannot be read (ptys have none); then RTS and
// DTR count as raised, as the kernel raises them on open.
void DcbFromTermios2(const struct termios2* settings, int modemBits, WORD xonLim, WORD xoffLim, DCB* dcb);

// Writes a checked dcb into *settings, in raw mode. Fields the DCB does not
// describe keep their value (line discipline, VMIN/VTIME, other characters).
void Termios2FromDcb(const DCB* dcb, struct termios2* settings);
