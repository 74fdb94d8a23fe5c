// The guest's hands on a port, for the driver tests (tests/driver/init.sh):
//   port_helper dump PORT            prints the port's termios2 and modem lines
//   port_helper hold WAY PORT        holds PORT one way until stdin ends, printing
//                                    the dump as it took it and as it lets go
//   port_helper mark USB-DEVICE-NODE  asks the device for string descriptor 126,
//                                    a request nothing else makes: its line in
//                                    usbmon's record shows the record caught up
//   port_helper as UID GID GROUP PROGRAM ARGS...
//                                    runs PROGRAM as UID:GID in supplementary GROUP
// WAY is flock, excl (TIOCEXCL), lockfile (a UUCP lock file naming this
// process), open (a plain open, no lock) or lowered (a plain open that then
// drops DTR and RTS). Static, so that it runs in a guest with no C library.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Says on stderr which call failed on what, and why (errno): returns 1.
static int fail(const char* what, const char* detail)
{
    fprintf(stderr, "port_helper: %s %s: %s\n", what, detail, strerror(errno));
    return 1;
}

// Prints one line holding every field of the termios2 of fd and its modem
// lines, so that two states compare as strings. 0 on success.
static int dump(int fd, const char* port)
{
    struct termios2 t;
    int lines;
    if (ioctl(fd, TCGETS2, &t) != 0) return fail("TCGETS2", port);
    if (ioctl(fd, TIOCMGET, &lines) != 0) return fail("TIOCMGET", port);
    printf("iflag=%o oflag=%o cflag=%o lflag=%o line=%u ispeed=%u ospeed=%u cc=", t.c_iflag,
           t.c_oflag, t.c_cflag, t.c_lflag, t.c_line, t.c_ispeed, t.c_ospeed);
    for (unsigned i = 0; i < NCCS; i++) printf("%02x", t.c_cc[i]);
    printf(" DTR=%d RTS=%d\n", !!(lines & TIOCM_DTR), !!(lines & TIOCM_RTS));
    return fflush(stdout) == 0 ? 0 : 1;
}

// The port opened as a terminal program opens it: no controlling terminal,
// not waiting for carrier. A descriptor, or -1 with errno.
static int open_port(const char* port)
{
    return open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Holds the port the way named until stdin ends; the lock file, if any, is
// removed then. 0 when the port was held and both dumps were printed.
static int hold(const char* way, const char* port)
{
    static const char ways[] = " flock excl lockfile open lowered ";
    char padded[32];
    snprintf(padded, sizeof padded, " %s ", way);
    if (!strstr(ways, padded)) {
        fprintf(stderr, "port_helper: no way %s to hold a port\n", way);
        return 2;
    }
    char lock[256] = "";
    if (strcmp(way, "lockfile") == 0) {
        const char* base = strrchr(port, '/');
        snprintf(lock, sizeof lock, "/run/lock/LCK..%s", base ? base + 1 : port);
        FILE* file = fopen(lock, "wx");
        if (!file) return fail("create", lock);
        fprintf(file, "%10d\n", (int)getpid());  // the HDB UUCP format
        if (fclose(file) != 0) return fail("write", lock);
    }
    int fd = open_port(port);
    if (fd < 0) return fail("open", port);
    int lowered = TIOCM_DTR | TIOCM_RTS;
    if (strcmp(way, "flock") == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) return fail("flock", port);
    if (strcmp(way, "excl") == 0 && ioctl(fd, TIOCEXCL) != 0) return fail("TIOCEXCL", port);
    if (strcmp(way, "lowered") == 0 && ioctl(fd, TIOCMBIC, &lowered) != 0)
        return fail("TIOCMBIC", port);
    if (dump(fd, port) != 0) return 1;
    char line[64];
    while (fgets(line, sizeof line, stdin)) {
    }
    int status = dump(fd, port);
    if (lock[0] && unlink(lock) != 0) return fail("unlink", lock);
    return status;
}

// Sends the marker request; its answer does not matter. 0 when it was sent.
static int mark(const char* node)
{
    int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd < 0) return fail("open", node);
    unsigned char answer[4];
    usbdevfs_ctrltransfer request = {0x80, 6, 0x0300 | 126, 0, sizeof answer, 1000, answer};
    ioctl(fd, USBDEVFS_CONTROL, &request);
    return close(fd);
}

// Runs the sub-command: 0 when it did what it says, 1 when a call failed
// (said on stderr), 2 for a command line it does not know.
int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "mark") == 0) return mark(argv[2]);
    if (argc == 3 && strcmp(argv[1], "dump") == 0) {
        int fd = open_port(argv[2]);
        return fd < 0 ? fail("open", argv[2]) : dump(fd, argv[2]);
    }
    if (argc == 4 && strcmp(argv[1], "hold") == 0) return hold(argv[2], argv[3]);
    if (argc >= 6 && strcmp(argv[1], "as") == 0) {
        gid_t group = (gid_t)atoi(argv[4]);
        if (setgroups(1, &group) != 0 || setgid((gid_t)atoi(argv[3])) != 0 ||
            setuid((uid_t)atoi(argv[2])) != 0)
            return fail("switch to", argv[2]);
        execv(argv[5], argv + 5);
        return fail("exec", argv[5]);
    }
    fprintf(stderr, "usage: port_helper dump PORT | hold WAY PORT | mark USB-DEVICE-NODE | as UID GID GROUP PROGRAM...\n");
    return 2;
}
