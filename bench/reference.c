/* The scan done with nothing but the system calls it needs: the yardstick
 * the program is measured against. Not part of the product; it must print
 * the same bytes as comscan for the same ports.
 *
 * Per name: one open; for a name that opens, flock, TIOCEXCL, one TCGETS2,
 * one TCSETS2 (38400 8E1, raw, no CTS flow control), TIOCMBIC for RTS,
 * TIOCNXCL, close. The whole report goes out in one write; the wait for
 * Enter is one read.
 *
 * Built with JOB_FLOOR, the floor of the job itself: the same, plus what a
 * probe must do before it touches a port, what it puts back, and how the
 * program prints. Once per run CAP_SYS_ADMIN leaves the effective set
 * (capget, capset), so that the kernel refuses a port marked exclusive. Per
 * name a stat comes before the open, which it spares an absent name; at the
 * first name that exists, one look at every other process's descriptors
 * under /proc (a directory the kernel counts empty is not read) and one
 * read of /proc/locks; before the open of a name that
 * exists, one lock-file open (one lock directory; any lock file there counts
 * as held, and the benchmark has none). After the open an fstat, so that a
 * name changed since the look is not taken for the one looked at. Per port
 * that opens, its line written at once, before the port is let go, then the
 * settings as found written back and RTS raised again; each report line in
 * a write of its own. */
#include <asm/termios.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>
#ifdef JOB_FLOOR
#include <dirent.h>
#include <linux/capability.h>
#include <stdio.h>
#include <sys/stat.h>

int capget(cap_user_header_t header, cap_user_data_t data);
int capset(cap_user_header_t header, const cap_user_data_t data);
#endif

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

#ifdef JOB_FLOOR
static void DropAdmin(void)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3];
    if (capget(&header, sets) != 0 || !(sets[0].effective & CAP_TO_MASK(CAP_SYS_ADMIN))) return;
    sets[0].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
    capset(&header, sets);
}

/* True when no lock file names the port: /run/lock/LCK..<base name>. */
static int Unlocked(const char* path, unsigned length)
{
    static const char directory[] = "/run/lock/LCK..";
    char lock[64];
    unsigned n = 0, base = 0;
    for (unsigned i = 0; i < length; i++)
        if (path[i] == '/') base = i + 1;
    for (; directory[n]; n++) lock[n] = directory[n];
    /* No lock file can have a name that long, as the program sees it too. */
    if (length - base >= sizeof lock - n) return 1;
    memcpy(lock + n, path + base, length - base + 1);
    int fd = open(lock, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 1;
    close(fd);
    return 0;
}

/* The character devices other processes have open, and the nodes in the
 * kernel's lock table: enough room for any machine the benchmark runs on. */
static dev_t openDevices[4096];
static unsigned openCount;
static int looked;

static void LookAround(void)
{
    char self[16], path[64], line[256];
    snprintf(self, sizeof self, "%d", (int)getpid());
    DIR* processes = opendir("/proc");
    struct stat own;
    int counted = stat("/proc/self/fd", &own) == 0 && own.st_size > 0;
    struct dirent* process;
    while (processes && (process = readdir(processes))) {
        if (process->d_name[0] < '1' || process->d_name[0] > '9' || strcmp(process->d_name, self) == 0) continue;
        snprintf(path, sizeof path, "/proc/%s/fd", process->d_name);
        /* A descriptor directory of size 0 holds none (kernel threads). */
        struct stat directory;
        if (counted && stat(path, &directory) == 0 && directory.st_size == 0) continue;
        DIR* fds = opendir(path);
        struct dirent* fd;
        while (fds && (fd = readdir(fds))) {
            struct stat status;
            if (fd->d_name[0] == '.' || fstatat(dirfd(fds), fd->d_name, &status, 0) != 0) continue;
            if (S_ISCHR(status.st_mode) && openCount < sizeof openDevices / sizeof *openDevices)
                openDevices[openCount++] = status.st_rdev;
        }
        if (fds) closedir(fds);
    }
    if (processes) closedir(processes);
    /* The benchmark's ports are never flock-ed: reading the table is the cost. */
    FILE* locks = fopen("/proc/locks", "re");
    while (locks && fgets(line, sizeof line, locks)) {
    }
    if (locks) fclose(locks);
    looked = 1;
}

static int OpenElsewhere(const struct stat* node)
{
    if (!looked) LookAround();
    for (unsigned i = 0; i < openCount; i++)
        if (openDevices[i] == node->st_rdev) return 1;
    return 0;
}

static void WriteLine(const char* text, unsigned n)
{
    ssize_t written = write(1, text, n);
    (void)written;
}
#endif

/* True when the port opened, took the settings and was released again; the
 * floor prints its line before letting it go. */
static int TryPort(const char* path, unsigned length)
{
    (void)length;
#ifdef JOB_FLOOR
    struct stat named, opened;
    if (stat(path, &named) != 0 || !Unlocked(path, length) || OpenElsewhere(&named)) return 0;
#endif
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    int ok = 1;
#ifdef JOB_FLOOR
    ok = fstat(fd, &opened) == 0 && opened.st_rdev == named.st_rdev;
#endif
    ok = ok && flock(fd, LOCK_EX | LOCK_NB) == 0;
    ok = ok && ioctl(fd, TIOCEXCL) == 0;
    int exclusive = ok;
    struct termios2 t;
    ok = ok && ioctl(fd, TCGETS2, &t) == 0;
#ifdef JOB_FLOOR
    struct termios2 found = t;
#endif
    if (ok) {
        /* Software flow control stays as the port had it, as in the program. */
        t.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC | IMAXBEL);
        t.c_iflag |= INPCK;
        t.c_oflag &= ~(tcflag_t)OPOST;
        t.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
        t.c_cflag &= ~(tcflag_t)(CBAUD | CIBAUD | CSIZE | CSTOPB | PARODD | CMSPAR | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD | CS8 | PARENB | B38400 | (B38400 << IBSHIFT);
        t.c_ispeed = t.c_ospeed = 38400;
        ok = ioctl(fd, TCSETS2, &t) == 0;
    }
    if (ok) {
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIC, &rts); /* ptys have no modem lines */
#ifdef JOB_FLOOR
        char line[20];
        for (unsigned i = 0; i < length; i++) line[i] = path[i];
        line[length] = '\r';
        line[length + 1] = '\n';
        WriteLine(line, length + 2);
        ioctl(fd, TCSETS2, &found);
        ioctl(fd, TIOCMBIS, &rts);
#endif
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
#ifdef JOB_FLOOR
    DropAdmin();
#endif
    for (int f = 0; f < 2; f++) {
        for (int i = 0; i <= 20; i++) {
            char name[16];
            unsigned n = PortName(name, families[f], i);
            if (!TryPort(name, n)) continue;
#ifndef JOB_FLOOR
            Put(name, n);
            Put("\r\n", 2);
#endif
            list[listLength++] = '|';
            for (unsigned k = 0; k < n; k++) list[listLength++] = last[k] = name[k];
            lastLength = n;
        }
    }
    Put("total : ", 8);
    Put(list, listLength);
    Put("\r\n", 2);
#ifdef JOB_FLOOR
    WriteLine(report, reportLength);
    reportLength = 0;
#endif
    Put("dernier port : ", 15);
    Put(last, lastLength);
    Put("\r\n", 2);
#ifdef JOB_FLOOR
    WriteLine(report, reportLength);
    reportLength = 0;
#endif
    Put("Appuyez sur Entr\xe9" "e\r\n", 20);
    ssize_t written = write(1, report, reportLength);
    (void)written;
    char line[4096];
    ssize_t got = read(0, line, sizeof line);
    (void)got;
    return 0;
}
