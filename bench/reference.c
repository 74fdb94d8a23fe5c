/* The scan done with nothing but the system calls it needs: the floor the
 * program is measured against. Not part of the product; it must print the
 * same bytes as comscan for the same ports.
 *
 * Per name: one open; for a name that opens, flock, TIOCEXCL, one TCGETS2,
 * one TCSETS2 (38400 8E1, raw, no CTS flow control, VMIN 0 / VTIME 2 as the
 * program's time-outs leave it), TIOCMBIC for RTS, TIOCNXCL, close. The whole
 * report goes out in one write; the wait for Enter is one read. */
#include <asm/termios.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int ioctl(int fd, unsigned long request, ...);

/* 42 names of at most 15 bytes, 45 lines, the prompt: far below this. */
static char report[4096];
static unsigned reportLength;

static void Put(const char* text, unsigned n)
{
    for (unsigned i = 0; i < n; i++) report[reportLength++] = text[i];
}

static unsigned Length(const char* text)
{
    unsigned n = 0;
    while (text[n]) n++;
    return n;
}

/* "/dev/ttyUSB" + number, zero-terminated; returns the length. */
static unsigned PortName(char* name, const char* family, int number)
{
    unsigned n = Length(family);
    for (unsigned i = 0; i < n; i++) name[i] = family[i];
    if (number >= 10) name[n++] = (char)('0' + number / 10);
    name[n++] = (char)('0' + number % 10);
    name[n] = 0;
    return n;
}

/* True when the port opened, took the settings and was released again. */
static int TryPort(const char* path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    int ok = flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
    int exclusive = ok;
    struct termios2 t;
    ok = ok && ioctl(fd, TCGETS2, &t) == 0;
    if (ok) {
        /* Software flow control stays as the port had it, as in the program. */
        t.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC | IMAXBEL);
        t.c_iflag |= INPCK;
        t.c_oflag &= ~(tcflag_t)OPOST;
        t.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
        t.c_cflag &= ~(tcflag_t)(CBAUD | CIBAUD | CSIZE | CSTOPB | PARODD | CMSPAR | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD | CS8 | PARENB | B38400 | (B38400 << IBSHIFT);
        t.c_ispeed = t.c_ospeed = 38400;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 2;
        ok = ioctl(fd, TCSETS2, &t) == 0;
    }
    if (ok) {
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIC, &rts); /* ptys have no modem lines */
    }
    if (exclusive) ioctl(fd, TIOCNXCL);
    close(fd);
    return ok;
}

int main(void)
{
    static const char* const families[] = {"/dev/ttyUSB", "/dev/ttyACM"};
    char list[42 * 16 + 1];
    unsigned listLength = 0;
    char last[16];
    unsigned lastLength = 0;
    for (int f = 0; f < 2; f++) {
        for (int i = 0; i <= 20; i++) {
            char name[16];
            unsigned n = PortName(name, families[f], i);
            if (!TryPort(name)) continue;
            Put(name, n);
            Put("\r\n", 2);
            list[listLength++] = '|';
            for (unsigned k = 0; k < n; k++) list[listLength++] = last[k] = name[k];
            lastLength = n;
        }
    }
    Put("total : ", 8);
    Put(list, listLength);
    Put("\r\ndernier port : ", 17);
    Put(last, lastLength);
    Put("\r\nAppuyez sur Entr\xe9" "e\r\n", 22);
    ssize_t written = write(1, report, reportLength);
    (void)written;
    char line[4096];
    ssize_t got = read(0, line, sizeof line);
    (void)got;
    return 0;
}
