// The thread's Win32 last-error code, set at the failing call.
#pragma once

#include "platform/posix/win32_subset.h"

// Maps an errno value to the Win32 code a caller would see on Windows.
DWORD Win32ErrorFromErrno(int err);
// SetLastError(Win32ErrorFromErrno(err)).
void SetLastErrorFromErrno(int err);
// The last error from errno, and FALSE: a failed call's answer.
BOOL FailFromErrno(void);
