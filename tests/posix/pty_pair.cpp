// Kept apart from the termios2 helpers: <pty.h> brings the C library's
// termios, which clashes with the kernel's.
#include "tests/posix/pty_pair.h"

#include <pty.h>
#include <unistd.h>

#include <cstring>

bool PtyPairOpen(PtyPair* pty)
{
    std::memset(pty->path, 0, sizeof pty->path);
    return openpty(&pty->master, &pty->slave, pty->path, nullptr, nullptr) == 0 && pty->path[0] == '/';
}

void PtyPairClose(PtyPair* pty)
{
    close(pty->slave);
    close(pty->master);
}
