// Opening and closing ports: CreateFileA and CloseHandle over descriptors.
#pragma once

#include "platform/posix/win32_subset.h"

// CreateFileA with the lock-file directories as a parameter; CreateFileA
// passes the system's. The handle, or INVALID_HANDLE_VALUE with the last
// error set and nothing left open, locked or changed.
HANDLE CommOpen(LPCSTR path, DWORD access, const char* const* lockDirectories);
