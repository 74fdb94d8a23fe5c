#include "tests/posix/recording_tty_ioctl.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/tty_ioctl.h"

TtyRecording ttyRecording;

void TtyRecordingReset()
{
    std::memset(&ttyRecording, 0, sizeof ttyRecording);
}

int TtyIoctl(int fd, unsigned long request, void* argument)
{
    if (ttyRecording.requests < 16) ttyRecording.order[ttyRecording.requests] = request;
    ttyRecording.requests++;
    switch (request) {
    case TCGETS2:
        ttyRecording.getCount++;
        if (!ttyRecording.canned) break;
        *(struct termios2*)argument = ttyRecording.cannedSettings;
        return 0;
    case TCSETS2:
        if (ttyRecording.setCount < 8) ttyRecording.sets[ttyRecording.setCount] = *(struct termios2*)argument;
        ttyRecording.setCount++;
        if (!ttyRecording.failSets) break;
        errno = ttyRecording.failSets;
        return -1;
    case TIOCMBIS:
    case TIOCMBIC:
        ttyRecording.modemChanges++;
        ttyRecording.modemBits = *(int*)argument;
        ttyRecording.modemRaise = request == TIOCMBIS;
        if (ttyRecording.modemLines) return 0;
        break;
    default:
        break;
    }
    return ioctl(fd, request, argument);
}
