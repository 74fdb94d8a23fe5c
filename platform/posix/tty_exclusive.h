// Terminal exclusive mode (TIOCEXCL): while set, further opens of the
// terminal fail, except by privileged processes, which must ask TIOCGEXCL.
// The flag belongs to the terminal, not to a descriptor: it outlives our
// process for as long as anyone else keeps the terminal open, so whoever sets
// it must clear it on every way out.
#pragma once

enum TtyExclusive {
    TtyExclusiveNotTerminal,  // not a terminal: there is no exclusive mode
    TtyExclusiveFree,         // nobody holds it, or the kernel cannot tell
    TtyExclusiveHeld,         // another open already holds the terminal exclusively
    TtyExclusiveTaken,        // we set it, so we must clear it
    TtyExclusiveFailed,       // the request failed; errno says why
};

// Asks, without changing anything, whether the terminal is held exclusively.
// ENOTTY answers both "not a terminal" and "a kernel without TIOCGEXCL", so
// it gives Free: TtyTakeExclusive then tells the two apart.
TtyExclusive TtyExclusiveState(int fd);
// Sets exclusive mode: TtyExclusiveTaken, TtyExclusiveNotTerminal, or
// TtyExclusiveFailed with errno.
TtyExclusive TtyTakeExclusive(int fd);
// Clears exclusive mode; only for a descriptor whose take gave Taken. Retried
// while interrupted and a few times on other failures; false, with errno,
// when it could not be cleared.
bool TtyReleaseExclusive(int fd);
