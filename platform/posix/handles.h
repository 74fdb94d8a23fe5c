// How this layer's handles map to descriptors. A handle is the descriptor
// plus one, so it is never 0 (descriptor 0 is a valid port when standard
// input is closed, and a zero handle means "not open" to the callers) and
// always fits in 32 bits.
#pragma once

#include "platform/posix/win32_subset.h"

inline int HandleToDescriptor(HANDLE h)
{
    return (int)(LONG_PTR)h - 1;
}

inline HANDLE DescriptorToHandle(int fd)
{
    return (HANDLE)(LONG_PTR)(fd + 1);
}
