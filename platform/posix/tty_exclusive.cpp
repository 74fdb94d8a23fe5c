#include "platform/posix/tty_exclusive.h"

#include <cerrno>

#include "platform/posix/tty_ioctl.h"

namespace {

// A clear that keeps failing for another reason than a signal is tried this
// often before the port is given up as left exclusive.
const int releaseAttempts = 3;

}  // namespace

TtyExclusive TtyExclusiveState(int fd)
{
    // Our own open succeeded despite exclusive mode only if we are privileged;
    // the flag still means someone else has the port.
    int exclusive = 0;
    int result;
    do result = ioctl(fd, TIOCGEXCL, &exclusive);
    while (result != 0 && errno == EINTR);
    if (result == 0) return exclusive ? TtyExclusiveHeld : TtyExclusiveFree;
    return errno == ENOTTY ? TtyExclusiveFree : TtyExclusiveFailed;
}

TtyExclusive TtyTakeExclusive(int fd)
{
    int result;
    do result = ioctl(fd, TIOCEXCL);
    while (result != 0 && errno == EINTR);
    if (result == 0) return TtyExclusiveTaken;
    return errno == ENOTTY ? TtyExclusiveNotTerminal : TtyExclusiveFailed;
}

bool TtyReleaseExclusive(int fd)
{
    for (int failures = 0; failures < releaseAttempts;) {
        if (ioctl(fd, TIOCNXCL) == 0) return true;
        if (errno != EINTR) failures++;
    }
    return false;
}
