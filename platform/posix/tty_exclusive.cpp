#include "platform/posix/tty_exclusive.h"

#include <unistd.h>

#include "platform/posix/tty_ioctl.h"

TtyClaim TtyClaimExclusive(int fd)
{
    if (!isatty(fd)) return TtyClaimNotTerminal;
    // Our own open succeeded despite exclusive mode only if we are privileged;
    // the flag still means someone else has the port. A kernel without
    // TIOCGEXCL cannot tell, and then the open alone decided.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) return TtyClaimHeld;
    if (ioctl(fd, TIOCEXCL) != 0) return TtyClaimFailed;
    return TtyClaimTaken;
}

void TtyReleaseExclusive(int fd)
{
    ioctl(fd, TIOCNXCL);
}
