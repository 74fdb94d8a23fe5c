#include "tests/posix/recording_tty_ioctl.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/tty_ioctl.h"

TtyRecording ttyRecording;

void TtyRecordingReset()
{
    std::memset(&ttyRecording, 0, sizeof ttyRecording);
}

int TtyGetTermios2(int fd, struct termios2* settings)
{
    ttyRecording.getCount++;
    if (ttyRecording.canned) {
        *settings = ttyRecording.cannedSettings;
        return 0;
    }
    return ioctl(fd, TCGETS2, settings);
}

int TtySetTermios2(int fd, const struct termios2* settings)
{
    if (ttyRecording.setCount < 8) ttyRecording.sets[ttyRecording.setCount] = *settings;
    ttyRecording.setCount++;
    if (ttyRecording.failSets) {
        errno = ttyRecording.failSets;
        return -1;
    }
    return ioctl(fd, TCSETS2, settings);
}

int TtyGetModemBits(int fd, int* bits)
{
    if (ttyRecording.canned) {
        *bits = ttyRecording.cannedModemBits;
        return 0;
    }
    return ioctl(fd, TIOCMGET, bits);
}

int TtyChangeModemBits(int fd, int bits, bool raise)
{
    ttyRecording.modemChanges++;
    ttyRecording.modemBits = bits;
    ttyRecording.modemRaise = raise;
    return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits);
}
