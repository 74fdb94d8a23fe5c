// Opening and closing ports: CreateFileA and CloseHandle over descriptors.
#pragma once

#include "platform/posix/win32_subset.h"

// CreateFileA with the lock-file directories as a parameter (null-terminated;
// null for the system's, which CreateFileA passes). The handle, or
// INVALID_HANDLE_VALUE with the last error set and nothing left open, locked
// or changed: ERROR_FILE_NOT_FOUND for an absent name, ERROR_ACCESS_DENIED
// for a port another process has open (looked at before the open, which
// would raise its modem lines), locks or marked exclusive.
HANDLE CommOpen(LPCSTR path, DWORD access, const char* const* lockDirectories);
// Releases every port still open and refuses every later open, as the system
// does for a process that ends. Called on every way out of the process.
void CommCloseAll(void);
// The same from a crash, by system calls alone: nothing, when this or
// another thread is changing the table, which may then be half changed.
void CommCloseAllUnlessHeld(void);
