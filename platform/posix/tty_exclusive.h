// Terminal exclusive mode (TIOCEXCL): while set, further opens of the
// terminal fail, except by privileged processes, which must ask TIOCGEXCL.
#pragma once

enum TtyClaim {
    TtyClaimNotTerminal,  // not a terminal: there is no exclusive mode to take
    TtyClaimTaken,        // exclusive mode was off and is now set by us
    TtyClaimHeld,         // another open already holds the terminal exclusively
    TtyClaimFailed,       // the request failed; errno says why
};

TtyClaim TtyClaimExclusive(int fd);
// Clears exclusive mode; only for a descriptor whose claim was TtyClaimTaken.
void TtyReleaseExclusive(int fd);
