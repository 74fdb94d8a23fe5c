// The named terminal requests, all made through TtyIoctl.
#include <cerrno>

#include "platform/posix/tty_ioctl.h"

int TtyGetTermios2(int fd, struct termios2* settings)
{
    return TtyIoctl(fd, TCGETS2, settings);
}

// The request as sent is what the port gets: unlike tcsetattr, nothing reads
// it back and refuses it when the driver adjusted a field (ptys always do).
int TtySetTermios2(int fd, const struct termios2* settings)
{
    return TtyIoctl(fd, TCSETS2, (void*)settings);
}

int TtyChangeModemBits(int fd, int bits, bool raise)
{
    return TtyIoctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits);
}

TtyExclusive TtyExclusiveState(int fd)
{
    int exclusive = 0;
    if (TtyIoctl(fd, TIOCGEXCL, &exclusive) == 0) return exclusive ? TtyExclusiveHeld : TtyExclusiveFree;
    if (errno != ENOTTY) return TtyExclusiveFailed;
    // ENOTTY answers both "not a terminal" and "no TIOCGEXCL here".
    struct termios2 settings;
    return TtyGetTermios2(fd, &settings) == 0 ? TtyExclusiveHeld : TtyExclusiveNotTerminal;
}

TtyExclusive TtyTakeExclusive(int fd)
{
    if (TtyIoctl(fd, TIOCEXCL, nullptr) == 0) return TtyExclusiveTaken;
    return errno == ENOTTY ? TtyExclusiveNotTerminal : TtyExclusiveFailed;
}

bool TtyReleaseExclusive(int fd)
{
    for (int attempt = 0; attempt < 3; attempt++)
        if (TtyIoctl(fd, TIOCNXCL, nullptr) == 0) return true;
    return false;
}
