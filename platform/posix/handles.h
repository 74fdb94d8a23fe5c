// How this layer's handles map to descriptors. A handle is the descriptor
// plus one, so it is never 0 (descriptor 0 is a valid port when standard
// input is closed, and a zero handle means "not open" to the callers) and
// always fits in 32 bits.
#pragma once

#include <climits>

#include "platform/posix/win32_subset.h"

inline HANDLE DescriptorToHandle(int fd)
{
    return (HANDLE)(LONG_PTR)(fd + 1);
}

// The one way back from a handle: false for null, INVALID_HANDLE_VALUE and
// anything that is not descriptor plus one in 32 bits, so no such value can
// alias a real descriptor. Sets no last error; the caller knows which.
inline bool DescriptorOf(HANDLE h, int* fd)
{
    LONG_PTR value = (LONG_PTR)h;
    if (value < 1 || value > INT_MAX) return false;
    *fd = (int)value - 1;
    return true;
}
