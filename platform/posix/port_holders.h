// Who else has a port: the programs that hold a terminal without saying so
// (no lock file, no flock, no exclusive mark) are found by looking at what
// every process has open, and the flock holders of every user in the
// kernel's lock table. Nothing here opens the port.
#pragma once

#include <sys/stat.h>

enum PortHolders {
    PortHoldersNone,          // no other process is seen to have it
    PortHoldersSeen,          // another process has it open, or flocked
    PortHoldersOutOfMemory,   // the look could not be kept; ask again
};

// Whether a process other than this one has the terminal node (as stat gave
// it for the port's name) open, compared by device number so that any name
// of the device counts (a pseudo-terminal, whose number is not unique, by
// its node), or holds a lock on that very node. The look is made
// once, at the first call, and kept for the run: a scan lasts moments, and
// what opens the port after the look is stopped by the claim's flock and
// exclusive mark. A process that vanishes or may not be looked at (another
// user's, for a user without the privilege) holds nothing; without /proc
// nothing is seen. Called under a CommHold: the look allocates.
PortHolders PortHeldElsewhere(const struct stat* node);
