#include "platform/posix/lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/posix/interrupted.h"

namespace {

const char* systemLockDirectories[] = {"/var/lock", "/run/lock", nullptr};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0';
}

}  // namespace

long LockFilePid(const char* content, size_t length)
{
    // Four bytes with a NUL among them are a binary id: process ids stay
    // below 2^22, so a binary one always has a zero top byte, and ASCII lock
    // files hold no NUL.
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
    if (digits == 0 || (i < length && !IsBlank(content[i]))) return 0;
    return pid;
}

namespace {

// True when the lock file at lockPath holds the port: it names a live
// process, or it is there but cannot be read, so its owner cannot be ruled
// out. A missing file or directory holds nothing.
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
    static bool known = false;
    if (known) return systemLockDirectories;
    // Two names of one directory: it is looked in once, under the name that
    // is not a link (on Debian /var/lock links to /run/lock), so that the
    // kernel need not follow the link for every port.
    struct stat first, second;
    auto same = [&] { return first.st_dev == second.st_dev && first.st_ino == second.st_ino; };
    if (stat(systemLockDirectories[0], &first) == 0) {
        if (lstat(systemLockDirectories[1], &second) == 0 && same()) {
            systemLockDirectories[0] = systemLockDirectories[1];
            systemLockDirectories[1] = nullptr;
        } else if (stat(systemLockDirectories[1], &second) == 0 && same()) {
            systemLockDirectories[1] = nullptr;
        }
    }
    known = true;
    return systemLockDirectories;
}

bool LockFileHeld(const char* devicePath, const char* const* directories)
{
    // The device's base name, what follows its last slash: found from the
    // end, rather than by looking at every byte.
    size_t pathLength = std::strlen(devicePath);
    const char* end = devicePath + pathLength;
    const char* slash = (const char*)memrchr(devicePath, '/', pathLength);
    const char* baseName = slash ? slash + 1 : devicePath;
    size_t baseLength = (size_t)(end - baseName);
    if (baseLength == 0) return false;
    // Built by hand: formatting the name took more than everything else a
    // port costs in user space, and pulled the C library's printf in.
    static const char lockPrefix[] = "/LCK..";
    for (; *directories; directories++) {
        char lockPath[256];
        size_t directoryLength = std::strlen(*directories);
        if (directoryLength + sizeof lockPrefix - 1 + baseLength >= sizeof lockPath) continue;
        char* place = lockPath;
        std::memcpy(place, *directories, directoryLength);
        place += directoryLength;
        std::memcpy(place, lockPrefix, sizeof lockPrefix - 1);
        place += sizeof lockPrefix - 1;
        std::memcpy(place, baseName, baseLength + 1);
        if (LockFileHolds(lockPath)) return true;
    }
    return false;
}
