// State shared by the files of this folder.
#pragma once

#include "platform/win32.h"

extern HANDLE StandardInput;
extern HANDLE StandardOutput;
// Guards PendingInput; held across the blocking reads of the stream path.
extern CRITICAL_SECTION InputLock;
// Null, or a zero-terminated main-heap block holding the bytes already read
// from a redirected standard input that follow the last line returned.
extern char* PendingInput;
