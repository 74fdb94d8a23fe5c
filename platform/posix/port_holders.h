// Who else has a port: what every process has open, for the programs that
// hold a terminal without saying so (no lock file, flock or exclusive mark),
// and the kernel's lock table, for every user's flocks. Nothing here opens
// the port.
#pragma once

#include <sys/stat.h>

enum PortHolders {
    PortHoldersNone,          // no other process is seen to have it
    PortHoldersSeen,          // another process has it open, or flocked
    PortHoldersOutOfMemory,   // the look could not be kept; ask again
};

// Whether a process other than this one has the terminal (node, as stat gave
// it for the port's name) open under any name of the device (a pseudo-
// terminal by its node), or holds a lock on that very node. The look is made
// at the first call and kept for the run: a scan lasts moments, and what
// opens the port later is stopped by the claim's flock and exclusive mark.
// A process that vanishes or may not be looked at holds nothing; without
// /proc nothing is seen. Called under a CommHold: the look allocates.
PortHolders PortHeldElsewhere(const struct stat* node);
