// Read time-outs as VMIN/VTIME, and the Win32 calls that record them.
#pragma once

#include "platform/posix/tty_ioctl.h"
#include "platform/posix/win32_subset.h"

// Sets VMIN and VTIME in *settings to the nearest the kernel has to the read
// time-outs: termios counts only in tenths of a second, up to 25.5 seconds,
// and knows no per-byte multiplier.
void Termios2ReadTimeouts(const COMMTIMEOUTS* timeouts, struct termios2* settings);
