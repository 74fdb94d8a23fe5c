// Linked into a test build of the program with -Wl,--wrap: the program's own
// calls into the C library come here first. COMSCAN_FAULT="sys N ERRNO" fails
// the Nth open/close/read/write/ioctl/flock/capset with ERRNO (a close still
// closes, as Linux's does); "heap N" fails the Nth malloc/calloc/realloc;
// "unmarked" refuses every capset with EPERM and answers every TIOCGEXCL
// with ENOTTY, as a filter and an emulator may; anything else only counts.
// COMSCAN_FAULT_HELD lists ports held by others: any request on them but a
// look is a touch. At exit COMSCAN_FAULT_REPORT gets
// "sys S heap H hit CALL FD touched T ptys P" (P: pty descriptors still open).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
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
int __real_capset(void* header, const void* data);
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
}

namespace {

char kind[16];
long nth, sysCalls, heapCalls;
int error, hitFd = -1, touched;
const char* hit = "none";
bool held[1024];

__attribute__((constructor)) void ReadPlan()
{
    if (const char* plan = std::getenv("COMSCAN_FAULT")) std::sscanf(plan, "%15s %ld %d", kind, &nth, &error);
}

// True, with errno set, when this call is the one to fail.
bool Fails(const char* call, int fd)
{
    if (++sysCalls != nth || std::strcmp(kind, "sys") != 0) return false;
    hit = call;
    hitFd = fd;
    errno = error;
    return true;
}

bool HeapFails()
{
    return ++heapCalls == nth && std::strcmp(kind, "heap") == 0;
}

bool Held(int fd)
{
    return fd >= 0 && fd < 1024 && held[fd];
}

int OpenPtys()
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (dirent* entry = fds ? readdir(fds) : nullptr) {
        struct stat status;
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(fds) && fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
            major(status.st_rdev) == 136)  // pseudo-terminal slaves
            count++;
    }
    if (fds) closedir(fds);
    return count;
}

__attribute__((destructor)) void Report()
{
    const char* path = std::getenv("COMSCAN_FAULT_REPORT");
    if (FILE* report = path ? std::fopen(path, "w") : nullptr) {
        std::fprintf(report, "sys %ld heap %ld hit %s %d touched %d ptys %d\n", sysCalls, heapCalls, hit, hitFd,
                     touched, OpenPtys());
        std::fclose(report);
    }
}

}  // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...)
{
    if (Fails("open", -1)) return -1;
    int fd = __real_open(path, flags);
    const char* others = std::getenv("COMSCAN_FAULT_HELD");
    const char* found = others && fd >= 0 && fd < 1024 ? std::strstr(others, path) : nullptr;
    if (found) held[fd] = !std::isalnum((unsigned char)found[std::strlen(path)]);
    return fd;
}

int __wrap_close(int fd)
{
    bool fails = Fails("close", fd);
    int result = __real_close(fd);
    if (Held(fd)) held[fd] = false;
    if (fails) errno = error;
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
    if (request == TIOCGEXCL && std::strcmp(kind, "unmarked") == 0) {
        errno = ENOTTY;
        return -1;
    }
    bool look = request == TIOCGEXCL || request == TCGETS || request == TCGETS2 || request == TIOCMGET;
    if (Held(fd) && !look) touched++;
    return __real_ioctl(fd, request, argument);
}

int __wrap_flock(int fd, int operation)
{
    return Fails("flock", fd) ? -1 : __real_flock(fd, operation);
}

int __wrap_capset(void* header, const void* data)
{
    if (Fails("capset", -1)) return -1;
    if (std::strcmp(kind, "unmarked") != 0) return __real_capset(header, data);
    errno = EPERM;
    return -1;
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
