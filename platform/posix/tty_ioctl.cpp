#include "platform/posix/tty_ioctl.h"

#include "platform/posix/interrupted.h"

int TtyIoctl(int fd, unsigned long request, void* argument)
{
    return RetryInterrupted([&] { return ioctl(fd, request, argument); });
}
