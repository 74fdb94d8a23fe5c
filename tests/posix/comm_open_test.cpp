// CreateFileA and CloseHandle on real pseudo-terminals: exclusivity, refusal
// of held ports before anything is changed, and no descriptor left behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/comm_open.h"
#include "platform/posix/handles.h"
#include "tests/posix/lock_dir.h"
#include "tests/posix/other_process.h"
#include "tests/posix/program_open.h"
#include "tests/posix/pty_fixture.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace {

HANDLE Open(const char* path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool FlockIsFree(const char* path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free;
}

class PortOpen : public PtyTest {
protected:
    // The whole open sequence is refused as a held port, leaving the line as
    // it was and nothing of ours on it.
    void ExpectRefused(const char* const* lockDirectories = nullptr)
    {
        SetLastError(ERROR_SUCCESS);
        // Lock files are looked for in the test's own directories through the
        // open itself; the whole sequence otherwise.
        HANDLE h = lockDirectories ? CommOpen(path(), GENERIC_READ | GENERIC_WRITE, lockDirectories)
                                   : OpenLikeTheProgram(path(), scanLine);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_TRUE(SameTermios2(ReadTermios2(pty->slave()), before));
    }
};

TEST_F(PortOpen, HoldsThePortWhileOpenAndReleasesItOnClose)
{
    // The serial code names ports in the Win32 device namespace.
    std::string deviceName = std::string("\\\\.\\") + path();
    HANDLE h = Open(deviceName.c_str());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int fd;
    ASSERT_TRUE(DescriptorOf(h, &fd));
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_TRUE(IsExclusive(pty->slave()));
    EXPECT_FALSE(FlockIsFree(path()));

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(Open(path()), INVALID_HANDLE_VALUE) << "a second open of an open port";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(IsExclusive(pty->slave())) << "the port stays exclusive after close";
    EXPECT_TRUE(FlockIsFree(path()));
}

TEST_F(PortOpen, ClosesOnlyItsOwnHandlesAndEachOnce)
{
    HANDLE h = Open(path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int fd;
    ASSERT_TRUE(DescriptorOf(h, &fd));
    ASSERT_TRUE(CloseHandle(h));
    // The number is handed out again; a second close must not take it.
    int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(reused, fd);
    HANDLE notOurs[] = {h, DescriptorToHandle(pty->slave()), nullptr, INVALID_HANDLE_VALUE, LongToHandle(-5)};
    for (HANDLE other : notOurs) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(CloseHandle(other));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        DCB dcb;
        EXPECT_FALSE(GetCommState(other, &dcb));
        EXPECT_FALSE(SetupComm(other, 1024, 1024));
    }
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    EXPECT_NE(fcntl(pty->slave(), F_GETFD), -1);
    close(reused);
}

TEST_F(PortOpen, RefusesAPortAnotherProcessHasLocked)
{
    pid_t holder = SpawnFlockHolder(path());
    ASSERT_GT(holder, 0);
    ExpectRefused();
    EXPECT_FALSE(IsExclusive(pty->slave()));
    Reap(holder);
}

TEST_F(PortOpen, RefusesAPortInExclusiveModeEvenWhenPrivileged)
{
    ASSERT_EQ(ioctl(pty->slave(), TIOCEXCL), 0);
    ExpectRefused();
    EXPECT_TRUE(IsExclusive(pty->slave())) << "cleared another owner's exclusive mode";
    ioctl(pty->slave(), TIOCNXCL);
}

TEST_F(PortOpen, RefusesAPortWhoseLockFileNamesALiveProcess)
{
    LockDir locks;
    ASSERT_TRUE(LockDirMake(&locks));
    pid_t owner = SpawnSleeper();
    ASSERT_GT(owner, 0);
    LockDirWritePid(&locks, path(), owner);
    ExpectRefused(locks.list);
    // The exclusive mode and lock taken before the lock file was read are undone.
    EXPECT_FALSE(IsExclusive(pty->slave()));
    EXPECT_TRUE(FlockIsFree(path()));

    // Once the owner is gone the lock is stale and the port opens.
    Reap(owner);
    HANDLE h = CommOpen(path(), GENERIC_READ | GENERIC_WRITE, locks.list);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    LockDirRemove(&locks);
}

TEST(PortName, AbsentNameIsNotFoundBeforeAnyLockFileIsRead)
{
    LockDir locks;
    ASSERT_TRUE(LockDirMake(&locks));
    std::string absent = std::string(locks.path) + "/ttyABSENT";
    LockDirWritePid(&locks, absent.c_str(), (int)getppid());
    int descriptors = OpenDescriptorCount();
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CommOpen(absent.c_str(), GENERIC_READ | GENERIC_WRITE, locks.list), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(absent.c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    LockDirRemove(&locks);
}

TEST(PortName, NodesThatAreNotTerminalsFailWithoutHanging)
{
    LockDir scratch;
    ASSERT_TRUE(LockDirMake(&scratch));
    std::string file = std::string(scratch.path) + "/file";
    std::string fifo = std::string(scratch.path) + "/fifo";
    std::string dir = std::string(scratch.path) + "/dir";
    close(open(file.c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const char* nodes[] = {file.c_str(), fifo.c_str(), dir.c_str(), "/dev/null"};
    for (const char* node : nodes) {
        int descriptors = OpenDescriptorCount();
        alarm(10);  // a hang ends the test run instead of stalling it
        EXPECT_EQ(OpenLikeTheProgram(node, scanLine), INVALID_HANDLE_VALUE) << node;
        alarm(0);
        DWORD error = GetLastError();
        EXPECT_TRUE(error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_PARAMETER ||
                    error == ERROR_ACCESS_DENIED)
            << node << ": " << error;
        EXPECT_EQ(OpenDescriptorCount(), descriptors) << node;
    }
    unlink(file.c_str());
    unlink(fifo.c_str());
    rmdir(dir.c_str());
    LockDirRemove(&scratch);
}

}  // namespace
