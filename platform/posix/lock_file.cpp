#include "platform/posix/lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/posix/interrupted.h"

long LockFilePid(const char* content, size_t length)
{
    // Process ids stay below 2^22, so a binary one always has a zero top
    // byte, and ASCII lock files hold no NUL.
    if (length == 4 && std::memchr(content, '\0', 4)) {
        std::int32_t binary;
        std::memcpy(&binary, content, sizeof binary);
        return binary;
    }
    size_t i = 0;
    while (i < length && (content[i] == ' ' || content[i] == '\t')) i++;
    long pid = 0;
    size_t digits = 0;
    for (; i < length && content[i] >= '0' && content[i] <= '9'; i++, digits++) {
        int digit = content[i] - '0';
        if (pid > (INT_MAX - digit) / 10) return 0;
        pid = pid * 10 + digit;
    }
    // strchr finds the terminating NUL too, which is a blank here.
    if (digits == 0 || (i < length && !std::strchr(" \t\r\n", content[i]))) return 0;
    return pid;
}

namespace {

// LockFileHeld for the one lock file at lockPath.
bool LockFileHolds(const char* lockPath)
{
    // Non-blocking, so a FIFO planted under the lock name cannot stall the
    // open; a link there fails with ELOOP, and so holds the port.
    int flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    int fd = RetryInterrupted([&] { return open(lockPath, flags); });
    if (fd < 0) return errno != ENOENT && errno != ENOTDIR;
    struct stat status;
    char content[64];
    ssize_t length = 0;
    bool unreadable = fstat(fd, &status) != 0;
    if (!unreadable && S_ISREG(status.st_mode)) {
        length = RetryInterrupted([&] { return read(fd, content, sizeof content); });
        unreadable = length < 0;
    }
    close(fd);
    if (unreadable) return true;
    if (length == 0) return false;
    long pid = LockFilePid(content, (size_t)length);
    // 0 and negative ids would address process groups, not a process.
    if (pid <= 0) return false;
    // EPERM: the process exists but belongs to someone else.
    return kill((pid_t)pid, 0) == 0 || errno == EPERM;
}

}  // namespace

const char* const* SystemLockDirectories(void)
{
    static const char* directories[] = {"/var/lock", "/run/lock", nullptr};
    static bool known = false;
    struct stat var, run;
    if (!known && stat(directories[0], &var) == 0 && stat(directories[1], &run) == 0 && var.st_dev == run.st_dev &&
        var.st_ino == run.st_ino) {
        directories[0] = directories[1];
        directories[1] = nullptr;
    }
    known = true;
    return directories;
}

bool LockFileHeld(const char* devicePath, const char* const* directories)
{
    const char* slash = std::strrchr(devicePath, '/');
    const char* baseName = slash ? slash + 1 : devicePath;
    if (!*baseName) return false;
    for (; *directories; directories++) {
        char lockPath[256];
        int length = std::snprintf(lockPath, sizeof lockPath, "%s/LCK..%s", *directories, baseName);
        if (length < 0 || (size_t)length >= sizeof lockPath) continue;
        if (LockFileHolds(lockPath)) return true;
    }
    return false;
}
