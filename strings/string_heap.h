// Allocation from the string heap, shared by the string operations of this
// folder. Callers outside strings/ use string_runtime.h.
#pragma once

#include "platform/win32.h"

// Both never return null: when the heap cannot satisfy a request the program
// says so on standard error and exits with a non-zero code, because carrying
// on would write text through a failed allocation.
char* StringHeapAlloc(SIZE_T bytes);
char* StringHeapResize(char* block, SIZE_T bytes);
