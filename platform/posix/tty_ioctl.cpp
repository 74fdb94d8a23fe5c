#include "platform/posix/tty_ioctl.h"

int TtyGetTermios2(int fd, struct termios2* settings)
{
    return ioctl(fd, TCGETS2, settings);
}

// The request as sent is what the port gets: unlike tcsetattr, nothing reads
// it back and refuses it when the driver adjusted a field (ptys always do).
int TtySetTermios2(int fd, const struct termios2* settings)
{
    return ioctl(fd, TCSETS2, settings);
}

int TtyGetModemBits(int fd, int* bits)
{
    return ioctl(fd, TIOCMGET, bits);
}

int TtyChangeModemBits(int fd, int bits, bool raise)
{
    return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits);
}
