#include "platform/posix/comm_timeouts.h"

#include <cerrno>

#include "platform/posix/comm_table.h"
#include "platform/posix/last_error.h"

namespace {

const DWORD maxDword = 0xFFFFFFFFu;

// Tenths of a second, rounded up so that a short time-out never becomes no
// wait at all, and capped at what VTIME holds.
cc_t Tenths(DWORD milliseconds)
{
    DWORD tenths = milliseconds / 100 + (milliseconds % 100 != 0);
    return (cc_t)(tenths > 255 ? 255 : tenths);
}

}  // namespace

void Termios2ReadTimeouts(const COMMTIMEOUTS* timeouts, struct termios2* settings)
{
    DWORD interval = timeouts->ReadIntervalTimeout;
    DWORD multiplier = timeouts->ReadTotalTimeoutMultiplier;
    DWORD constant = timeouts->ReadTotalTimeoutConstant;
    cc_t vmin, vtime;
    if (interval == maxDword && multiplier == 0 && constant == 0) {
        // Return at once with whatever has arrived.
        vmin = 0;
        vtime = 0;
    } else if (multiplier != 0 || constant != 0) {
        // A total time-out: wait that long for the first byte (a maximal
        // multiplier only means "return as soon as anything is there").
        DWORD perByte = multiplier == maxDword ? 0 : multiplier;
        DWORD total = constant > maxDword - perByte ? maxDword : constant + perByte;
        vmin = 0;
        vtime = Tenths(total);
        if (vtime == 0) vtime = 1;
    } else if (interval != 0) {
        // Only a gap between bytes: wait for the first, then time the gaps.
        vmin = 1;
        vtime = Tenths(interval);
    } else {
        // No time-outs: a read waits for data.
        vmin = 1;
        vtime = 0;
    }
    settings->c_cc[VMIN] = vmin;
    settings->c_cc[VTIME] = vtime;
}

// Records the time-outs and applies their read part to the port now; FALSE,
// with nothing recorded, when the port refuses.
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    CommRecord* record = CommTableHoldFor(hFile, lpCommTimeouts);
    if (!record) return FALSE;
    struct termios2 settings;
    bool applied = CommRecordSettings(record, &settings) == 0;
    if (applied) {
        Termios2ReadTimeouts(lpCommTimeouts, &settings);
        applied = TtySetTermios2(record->fd, &settings) == 0;
    }
    int failure = errno;
    if (applied) {
        record->settings = settings;
        record->settingsKnown = true;
        record->timeouts = *lpCommTimeouts;
    }
    CommTableUnlock();
    if (!applied) SetLastErrorFromErrno(failure);
    return applied;
}

// The time-outs as last set; all zero before the first SetCommTimeouts.
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    CommRecord* record = CommTableHoldFor(hFile, lpCommTimeouts);
    if (!record) return FALSE;
    *lpCommTimeouts = record->timeouts;
    CommTableUnlock();
    return TRUE;
}
