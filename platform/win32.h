// The one header through which the program reaches the system. On Windows it
// is <windows.h> itself; elsewhere it declares the small Win32 subset the
// program calls, implemented under the same names by platform/posix (and by
// the recording fake the unit tests link instead).
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/posix/win32_subset.h"
#endif
