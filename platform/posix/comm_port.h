// The calls on an open port (SetupComm, Get/SetCommState, Get/SetCommTimeouts)
// and what a read or write on a port needs first.
#pragma once

#include "platform/posix/win32_subset.h"

// Called by ReadFile and WriteFile before they touch h. For a port, the
// time-outs and blocking mode its record holds reach it first, as Windows
// applies them to reads and writes. True for any other handle (the last
// error untouched) and for a port ready for it; false, with the last error
// set, when the port refused them.
bool CommReadyForIo(HANDLE h);
