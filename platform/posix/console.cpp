// The console over a terminal: when a standard descriptor is a terminal, the
// terminal is the program's console. Console calls on anything else fail with
// ERROR_INVALID_HANDLE, which sends callers to plain file I/O, as on Windows.
#include <langinfo.h>
#include <locale.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "platform/posix/close_event.h"
#include "platform/posix/handles.h"
#include "platform/posix/last_error.h"
#include "platform/posix/std_handles.h"
#include "platform/posix/tty_ioctl.h"

namespace {

// Leaves errno as isatty left it: EIO for a terminal that hung up.
bool TerminalOf(HANDLE h, int* fd)
{
    errno = StdHandleNotTerminal(h) ? ENOTTY : EBADF;
    bool terminal = errno == EBADF && DescriptorOf(h, fd) && isatty(*fd);
    if (!terminal) SetLastError(ERROR_INVALID_HANDLE);
    return terminal;
}

UINT outputCodePage = 1252;
pthread_once_t outputCodePageOnce = PTHREAD_ONCE_INIT;

// A terminal whose locale speaks UTF-8 shows the console's text as UTF-8;
// any other terminal gets the program's bytes as they are. Read from a
// locale object of its own, so the program's C locale is left alone.
void FindOutputCodePage()
{
    locale_t locale = newlocale(LC_CTYPE_MASK, "", (locale_t)0);
    if (!locale) return;
    const char* codeset = nl_langinfo_l(CODESET, locale);
    if (codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0))
        outputCodePage = CP_UTF8;
    freelocale(locale);
}

// UTF-16 to UTF-8, one code point at a time; an unpaired surrogate becomes
// U+FFFD. Returns the bytes written to out, which holds 3 bytes per unit.
size_t EncodeUtf8(const WCHAR* text, DWORD n, char* out)
{
    static const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
    size_t length = 0;
    for (DWORD i = 0; i < n; i++) {
        unsigned long point = text[i];
        if (point >= 0xD800 && point <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00u);
        else if (point >= 0xD800 && point <= 0xDFFF)
            point = 0xFFFD;
        int more = point < 0x80 ? 0 : point < 0x800 ? 1 : point < 0x10000 ? 2 : 3;
        out[length++] = (char)(lead[more] | (point >> (6 * more)));
        while (more-- > 0) out[length++] = (char)(0x80 | ((point >> (6 * more)) & 0x3F));
    }
    return length;
}

}  // namespace

// The program already runs in its terminal; there is nothing to allocate.
BOOL AllocConsole(void) { return TRUE; }
BOOL FreeConsole(void) { return TRUE; }

// With no terminal among the standard handles there is no console to show
// text on: the locale's files are not read, and the program's bytes pass as
// they are.
UINT GetConsoleOutputCP(void)
{
    // A port given the number of a standard descriptor closed at the start
    // is no console: the standard handles are asked, not the numbers.
    bool console = false;
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE h = GetStdHandle(which);
        console |= h && !StdHandleNotTerminal(h);
    }
    if (!console) return 1252;
    pthread_once(&outputCodePageOnce, FindOutputCodePage);
    return outputCodePage;
}

BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode)
{
    int fd;
    if (!TerminalOf(hConsoleHandle, &fd)) return FALSE;
    struct termios2 settings;
    if (TtyGetTermios2(fd, &settings) != 0) return FailFromErrno();
    struct termios2 wanted = settings;
    wanted.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG);
    if (dwMode & ENABLE_LINE_INPUT) wanted.c_lflag |= ICANON;
    if (dwMode & ENABLE_ECHO_INPUT) wanted.c_lflag |= ECHO;
    if (dwMode & ENABLE_PROCESSED_INPUT) wanted.c_lflag |= ISIG;
    if (wanted.c_lflag != settings.c_lflag && TtySetTermios2(fd, &wanted) != 0) return FailFromErrno();
    return TRUE;
}

// The terminal went away: the close event ends the process, unless its
// handlers keep it alive; then the read fails as a broken pipe does.
static BOOL TerminalHungUp(void)
{
    AwaitCloseEvent();
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
}

// A typed line arrives as "abc\n" and is delivered as the Windows console
// delivers it, "abc\r\n". End of input typed at the start of a line (a read
// of nothing) is delivered as the console's Ctrl-Z line.
BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead, LPDWORD lpNumberOfCharsRead,
                  PCONSOLE_READCONSOLE_CONTROL)
{
    if (lpNumberOfCharsRead) *lpNumberOfCharsRead = 0;
    int fd;
    if (!TerminalOf(hConsoleInput, &fd)) {
        // A terminal that hung up before the read answers EIO, not ENOTTY.
        if (errno == EIO) return TerminalHungUp();
        return FALSE;
    }
    if (nNumberOfCharsToRead < 3) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    char* bytes = (char*)lpBuffer;
    // One byte is kept free for the CR put before the LF.
    ssize_t count = Transfer(fd, bytes, nNumberOfCharsToRead - 1, true);
    // A terminal whose other side has gone reads as EIO, and once hung up as
    // end of input, like a typed end-of-input; only the hang-up also takes
    // the terminal's settings away. The EIO may come before the hang-up has
    // taken them, so an EIO is a read error only for a reader outside the
    // foreground group of its controlling terminal, which SIGTTIN did not
    // stop: a background job's.
    int failure = errno;
    struct termios2 settings;
    pid_t foreground;
    bool hungUp = count == 0 ? TtyGetTermios2(fd, &settings) != 0
                             : count < 0 && failure == EIO &&
                                   !(TtyIoctl(fd, TIOCGPGRP, &foreground) == 0 && foreground != getpgrp());
    errno = failure;
    if (hungUp) return TerminalHungUp();
    if (count < 0) return FailFromErrno();
    if (count == 0) {
        std::memcpy(bytes, "\x1a\r\n", 3);
        count = 3;
    } else if (bytes[count - 1] == '\n') {
        bytes[count - 1] = '\r';
        bytes[count++] = '\n';
    }
    if (lpNumberOfCharsRead) *lpNumberOfCharsRead = (DWORD)count;
    return TRUE;
}

BOOL WriteConsoleA(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID)
{
    if (lpNumberOfCharsWritten) *lpNumberOfCharsWritten = 0;
    int fd;
    if (!TerminalOf(hConsoleOutput, &fd)) return FALSE;
    if (WriteAll(fd, (const char*)lpBuffer, nNumberOfCharsToWrite) != nNumberOfCharsToWrite) return FALSE;
    if (lpNumberOfCharsWritten) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

BOOL WriteConsoleW(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID)
{
    if (lpNumberOfCharsWritten) *lpNumberOfCharsWritten = 0;
    int fd;
    if (!TerminalOf(hConsoleOutput, &fd)) return FALSE;
    const WCHAR* text = (const WCHAR*)lpBuffer;
    // Written in pieces so the encoding buffer stays on the stack.
    const DWORD piece = 256;
    char encoded[piece * 3 + 4];
    for (DWORD done = 0; done < nNumberOfCharsToWrite;) {
        DWORD n = nNumberOfCharsToWrite - done < piece ? nNumberOfCharsToWrite - done : piece;
        // A surrogate pair is never split between pieces.
        if (n == piece && text[done + n - 1] >= 0xD800 && text[done + n - 1] <= 0xDBFF) n--;
        size_t length = EncodeUtf8(text + done, n, encoded);
        if (WriteAll(fd, encoded, length) != length) return FALSE;
        done += n;
    }
    if (lpNumberOfCharsWritten) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}
