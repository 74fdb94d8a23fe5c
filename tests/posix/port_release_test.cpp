// No port of ours outlives the process, whatever ends it; once the release
// has begun no port is claimed; a lock file we cannot read holds the port.
// Each case runs in a child of its own, so that the process-wide state it
// leaves (the signal handlers, the signal mask, the sweep) never reaches
// another case: this binary's own process never opens a port.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/posix/close_event.h"
#include "platform/posix/comm_open.h"
#include "platform/posix/lock_file.h"
#include "tests/posix/lock_dir.h"
#include "tests/posix/other_process.h"
#include "tests/posix/pty_fixture.h"

namespace {

// Runs body in a child; its wait status, or -1 when it had to be killed.
// ready() runs in the parent once the child has sent a byte on its pipe.
int InChild(const std::function<int(int ready)>& body, const std::function<void(pid_t)>& ready = nullptr)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        _exit(body(pipeEnds[1]));
    }
    close(pipeEnds[1]);
    char byte;
    if (ready && read(pipeEnds[0], &byte, 1) == 1) ready(child);
    close(pipeEnds[0]);
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; waited++) {
        if (waited == 500) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

HANDLE OpenPort(const char* path)
{
    const char* noLocks[] = {nullptr};
    return CommOpen(path, GENERIC_READ | GENERIC_WRITE, noLocks);
}

// The ports are opened by a child, which must not find the test holding them.
class PortRelease : public PtyTest {
protected:
    PortRelease() { holdSlave = false; }
};

TEST_F(PortRelease, EveryWayOutClearsExclusiveModeOfPortsStillOpen)
{
    const struct {
        const char* what;
        int exitCode;  // through ExitProcess, or -1: ended by signal
        int signal;
        bool busy;     // the signal lands while the child holds a lock: kept until it lets go
        int then;      // another signal after it, which must not decide the ending
    } ways[] = {
        {"normal exit", 0, 0, false, 0}, {"out-of-memory exit", 3, 0, false, 0}, {"SIGINT", -1, SIGINT, false, 0},
        {"SIGTERM", -1, SIGTERM, false, 0}, {"SIGQUIT", -1, SIGQUIT, false, 0}, {"SIGHUP", -1, SIGHUP, false, 0},
        {"SIGUSR2", -1, SIGUSR2, false, 0}, {"SIGVTALRM", -1, SIGVTALRM, false, 0},
        {"real-time signal", -1, SIGRTMIN + 3, false, 0}, {"SIGABRT", -1, SIGABRT, false, 0},
        {"SIGTERM kept while busy", -1, SIGTERM, true, 0},
        {"SIGTERM then SIGINT kept while busy", -1, SIGTERM, true, SIGINT},
        {"SIGALRM then SIGHUP kept while busy", -1, SIGALRM, true, SIGHUP},
        {"abort while busy: a crash cannot wait", -1, SIGABRT, true, 0},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.what);
        int status = InChild(
            [&](int ready) {
                rlimit noCore = {0, 0};
                setrlimit(RLIMIT_CORE, &noCore);
                if (OpenPort(path()) == INVALID_HANDLE_VALUE) return 10;
                if (way.busy) {
                    CRITICAL_SECTION section;
                    InitializeCriticalSection(&section);
                    EnterCriticalSection(&section);
                    if (way.signal == SIGABRT) abort();
                    kill(getpid(), way.signal);
                    if (way.then) kill(getpid(), way.then);
                    if (write(ready, "x", 1) != 1) return 11;
                    LeaveCriticalSection(&section);
                    return 12;  // the kept signal was lost
                }
                if (write(ready, "x", 1) != 1) return 11;
                if (way.exitCode >= 0) ExitProcess((UINT)way.exitCode);
                for (;;) pause();
            },
            [&](pid_t child) {
                if (way.signal && !way.busy) kill(child, way.signal);
            });
        if (way.signal) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == way.signal) << "status " << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == way.exitCode) << "status " << status;
        }
        EXPECT_FALSE(pty->Exclusive()) << "left exclusive";
    }
}

TEST_F(PortRelease, NoPortIsClaimedOnceTheReleaseHasBegun)
{
    int status = InChild([&](int) {
        HANDLE open = OpenPort(path());
        if (open == INVALID_HANDLE_VALUE) return 10;
        CommCloseAll();
        if (pty->Exclusive()) return 11;
        if (CloseHandle(open)) return 12;  // released already: not ours any more
        if (OpenPort(path()) != INVALID_HANDLE_VALUE) return 13;
        if (GetLastError() != ERROR_ACCESS_DENIED || pty->Exclusive()) return 14;
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(SameTermios2(ReadTermios2(pty->master()), before));
}

// A close event may land inside the C library's allocator, so what its
// handlers free stays in the heap.
TEST(CloseEvent, WhatItsHandlersFreeStaysInTheHeap)
{
    int status = InChild([](int) {
        static HANDLE heap = HeapCreate(0, 0, 0);
        static char* block = (char*)HeapAlloc(heap, 0, 1 << 16);
        SetConsoleCtrlHandler([](DWORD) -> BOOL { return HeapFree(heap, 0, block); }, TRUE);
        CloseEventReady();
        size_t before = mallinfo2().uordblks;
        raise(SIGINT);    // handled: the process lives on
        block[1000] = 1;  // AddressSanitizer stops here if it was freed
        return mallinfo2().uordblks == before ? 0 : 10;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// A lock file or directory that is there but that we may not read may name a
// live owner: held. Only what is not there at all is free.
TEST(UnreadableLocks, HoldThePortWhatIsAbsentDoesNot)
{
    if (geteuid() != 0) GTEST_SKIP() << "reading lock files as another user needs root";
    LockDir open, closed;
    ASSERT_TRUE(LockDirMake(&open));
    ASSERT_TRUE(LockDirMake(&closed));
    pid_t owner = SpawnSleeper();
    ASSERT_GT(owner, 0);
    LockDirWritePid(&open, "/dev/ttyLIVE", owner);
    LockDirWrite(&open, "/dev/ttyGONE", "99999999\n", 9);
    LockDirWritePid(&closed, "/dev/ttyLIVE", owner);
    chmod(open.path, 0755);
    chmod(closed.path, 0700);
    for (const char* name : {"ttyLIVE", "ttyGONE"}) chmod((std::string(open.path) + "/LCK.." + name).c_str(), 0600);
    const char* missing[] = {"/nonexistent-lock-dir", nullptr};
    const struct {
        const char* what;
        const char* device;
        const char* const* directories;
        bool held;
    } cases[] = {
        {"file of mode 0600, live owner", "/dev/ttyLIVE", open.list, true},
        {"file of mode 0600, stale content", "/dev/ttyGONE", open.list, true},
        {"directory we may not search", "/dev/ttyLIVE", closed.list, true},
        {"no lock file", "/dev/ttyFREE", open.list, false},
        {"no lock directory", "/dev/ttyLIVE", missing, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Read by an unprivileged user, as the program usually runs.
        int status = InChild([&](int) {
            if (setresuid(65534, 65534, 65534) != 0) return 20;
            return LockFileHeld(c.device, c.directories) ? 1 : 0;
        });
        EXPECT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.held ? 1 : 0);
    }
    Reap(owner);
    chmod(closed.path, 0755);
    LockDirRemove(&open);
    LockDirRemove(&closed);
}

}  // namespace
