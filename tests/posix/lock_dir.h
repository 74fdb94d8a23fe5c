// A private lock-file directory for one test, so no test writes the system's.
#pragma once

#include <cstddef>

struct LockDir {
    char path[64];
    const char* list[2];  // {path, null}: what the layer takes as directories
};

bool LockDirMake(LockDir* dir);
// Writes LCK..<base name of device> with the given bytes.
void LockDirWrite(LockDir* dir, const char* device, const void* content, size_t length);
// Writes LCK..<base name of device> holding pid as padded ASCII, "%10d\n".
void LockDirWritePid(LockDir* dir, const char* device, int pid);
// Removes the directory and every lock file in it.
void LockDirRemove(LockDir* dir);
