#include "tests/posix/other_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The child runs setUp (if any), reports its outcome on a pipe, and waits to
// be killed; the parent returns after the report.
pid_t Spawn(const char* flockPath)
{
    int report[2];
    if (pipe(report) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        char ok = 1;
        if (flockPath) {
            int fd = open(flockPath, O_RDWR | O_NOCTTY | O_NONBLOCK);
            ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        }
        if (write(report[1], &ok, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(report[1]);
    char ok = 0;
    bool reported = child > 0 && read(report[0], &ok, 1) == 1 && ok;
    close(report[0]);
    if (!reported && child > 0) {
        Reap(child);
        return -1;
    }
    return child;
}

}  // namespace

pid_t SpawnSleeper()
{
    return Spawn(nullptr);
}

pid_t SpawnFlockHolder(const char* path)
{
    return Spawn(path);
}

void Reap(pid_t child)
{
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}
