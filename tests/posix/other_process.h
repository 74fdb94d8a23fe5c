// Other processes that hold a port, as another program would.
#pragma once

#include <sys/types.h>

// A child that only waits, so its id names a live process that is not us.
pid_t SpawnSleeper();
// A child that opens path and holds an exclusive flock on it; returns once
// the lock is taken.
pid_t SpawnFlockHolder(const char* path);
// Kills and reaps the child, so its id names no process any more.
void Reap(pid_t child);
