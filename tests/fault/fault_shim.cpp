// Linked into a test-only build of the program with -Wl,--wrap, so that the
// program's own calls into the C library pass through here first:
//   COMSCAN_FAULT="sys N ERRNO"  the Nth open/close/read/write/ioctl/flock
//                                fails with ERRNO (a close still closes, as
//                                Linux's does);
//   COMSCAN_FAULT="heap N"       the Nth malloc/calloc/realloc returns null;
//   anything else counts only.
//   COMSCAN_FAULT_HELD           ports held by others, space-separated: any
//                                request on them other than a look is counted
//                                as a touch.
// At exit, COMSCAN_FAULT_REPORT receives one line:
//   "sys S heap H hit CALL FD touched T ptys P"
// with the call counts, the call that was failed (or "none -1"), and the pty
// descriptors still open.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void* buffer, size_t count);
ssize_t __real_write(int fd, const void* buffer, size_t count);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_flock(int fd, int operation);
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
}

namespace {

const int ptySlaveMajor = 136;

struct {
    bool read = false;
    char kind[8] = "";
    long nth = 0;
    int error = 0;
    long sys = 0, heap = 0;
    const char* hit = "none";
    int hitFd = -1;
    int touched = 0;
    bool held[1024] = {};
} shim;

void ReadPlan()
{
    if (shim.read) return;
    shim.read = true;
    if (const char* plan = std::getenv("COMSCAN_FAULT"))
        std::sscanf(plan, "%7s %ld %d", shim.kind, &shim.nth, &shim.error);
}

// True when this call is the one to fail; errno is then set.
bool Fails(const char* call, int fd)
{
    ReadPlan();
    if (++shim.sys != shim.nth || std::strcmp(shim.kind, "sys") != 0) return false;
    shim.hit = call;
    shim.hitFd = fd;
    errno = shim.error;
    return true;
}

bool HeapFails()
{
    ReadPlan();
    return ++shim.heap == shim.nth && std::strcmp(shim.kind, "heap") == 0;
}

void NoteOpen(const char* path, int fd)
{
    const char* held = std::getenv("COMSCAN_FAULT_HELD");
    if (fd < 0 || fd >= 1024 || !held) return;
    size_t length = std::strlen(path);
    for (const char* p = std::strstr(held, path); p; p = std::strstr(p + 1, path))
        if ((p == held || p[-1] == ' ') && (p[length] == ' ' || p[length] == 0)) shim.held[fd] = true;
}

void NoteRequest(int fd, unsigned long request)
{
    bool look = request == TIOCGEXCL || request == TCGETS || request == TCGETS2 || request == TIOCMGET;
    if (fd >= 0 && fd < 1024 && shim.held[fd] && !look) shim.touched++;
}

int OpenPtys()
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (dirent* entry = fds ? readdir(fds) : nullptr) {
        struct stat status;
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(fds) && fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
            major(status.st_rdev) == ptySlaveMajor)
            count++;
    }
    if (fds) closedir(fds);
    return count;
}

__attribute__((destructor)) void Report()
{
    ReadPlan();
    const char* path = std::getenv("COMSCAN_FAULT_REPORT");
    FILE* report = path ? std::fopen(path, "w") : nullptr;
    if (!report) return;
    std::fprintf(report, "sys %ld heap %ld hit %s %d touched %d ptys %d\n", shim.sys, shim.heap, shim.hit,
                 shim.hitFd, shim.touched, OpenPtys());
    std::fclose(report);
}

}  // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & O_CREAT) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    if (Fails("open", -1)) return -1;
    int fd = __real_open(path, flags, mode);
    NoteOpen(path, fd);
    return fd;
}

int __wrap_close(int fd)
{
    bool fails = Fails("close", fd);
    int result = __real_close(fd);
    if (fd >= 0 && fd < 1024) shim.held[fd] = false;
    if (fails) errno = shim.error;
    return fails ? -1 : result;
}

ssize_t __wrap_read(int fd, void* buffer, size_t count)
{
    return Fails("read", fd) ? -1 : __real_read(fd, buffer, count);
}

ssize_t __wrap_write(int fd, const void* buffer, size_t count)
{
    return Fails("write", fd) ? -1 : __real_write(fd, buffer, count);
}

int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (Fails("ioctl", fd)) return -1;
    NoteRequest(fd, request);
    return __real_ioctl(fd, request, argument);
}

int __wrap_flock(int fd, int operation)
{
    return Fails("flock", fd) ? -1 : __real_flock(fd, operation);
}

void* __wrap_malloc(size_t size)
{
    return HeapFails() ? nullptr : __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size)
{
    return HeapFails() ? nullptr : __real_calloc(count, size);
}

void* __wrap_realloc(void* block, size_t size)
{
    return HeapFails() ? nullptr : __real_realloc(block, size);
}

}  // extern "C"
