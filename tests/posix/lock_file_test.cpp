// What a UUCP lock file says about a port: held only while it names a live
// process, in any of the formats other programs write.
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "platform/posix/lock_file.h"
#include "tests/posix/lock_dir.h"
#include "tests/posix/other_process.h"

namespace {

const char device[] = "/dev/ttyTEST7";

class LockFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(LockDirMake(&locks));
        live = SpawnSleeper();
        ASSERT_GT(live, 0);
        dead = SpawnSleeper();
        ASSERT_GT(dead, 0);
        Reap(dead);
    }
    void TearDown() override
    {
        Reap(live);
        LockDirRemove(&locks);
    }
    bool HeldWith(const std::string& content)
    {
        LockDirWrite(&locks, device, content.data(), content.size());
        return LockFileHeld(device, locks.list);
    }
    bool HeldWithBinary(std::int32_t pid)
    {
        LockDirWrite(&locks, device, &pid, sizeof pid);
        return LockFileHeld(device, locks.list);
    }

    LockDir locks;
    pid_t live;
    pid_t dead;
};

TEST_F(LockFile, ALiveOwnerHoldsThePortInEveryFormat)
{
    std::string pid = std::to_string(live);
    EXPECT_TRUE(HeldWith(std::string(10 - pid.size(), ' ') + pid + "\n"));
    EXPECT_TRUE(HeldWith(pid));
    EXPECT_TRUE(HeldWith(pid + " someprogram someuser\n"));
    EXPECT_TRUE(HeldWithBinary(live));
    // Found in a later directory of the list too.
    LockDir empty;
    ASSERT_TRUE(LockDirMake(&empty));
    const char* both[] = {empty.path, locks.path, nullptr};
    EXPECT_TRUE(LockFileHeld(device, both));
    LockDirRemove(&empty);
}

TEST_F(LockFile, StaleOrGarbledLockFilesDoNotHoldThePort)
{
    std::string pid = std::to_string(dead);
    EXPECT_FALSE(HeldWith("      " + pid + "\n")) << "the owner has gone";
    EXPECT_FALSE(HeldWithBinary(dead));
    // Binary 2609 reads "1\n" in ASCII: it must not be taken for pid 1.
    if (kill(2609, 0) != 0) {
        EXPECT_FALSE(HeldWithBinary(2609));
    }
    EXPECT_FALSE(HeldWith(""));
    EXPECT_FALSE(HeldWith("garbage\n"));
    EXPECT_FALSE(HeldWith(std::to_string(live) + "x\n")) << "digits run into garbage";
    // 0 and negative ids would ask about whole process groups, ours included.
    EXPECT_FALSE(HeldWith("0\n"));
    EXPECT_FALSE(HeldWith("-1\n"));
    EXPECT_FALSE(HeldWithBinary(-1));
    EXPECT_FALSE(HeldWith("99999999999999999999\n"));
}

TEST_F(LockFile, OnlyTheDevicesOwnLockFileCounts)
{
    LockDirWritePid(&locks, "/dev/ttyOTHER", live);
    EXPECT_FALSE(LockFileHeld(device, locks.list));
    // A FIFO under the lock name must neither block nor count.
    std::string fifo = std::string(locks.path) + "/LCK..ttyTEST7";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    alarm(10);
    EXPECT_FALSE(LockFileHeld(device, locks.list));
    alarm(0);
}

// A lock name that is a link holds the port wherever the link points (the
// lock directories are every user's), and its target is never opened.
TEST_F(LockFile, ALinkUnderTheLockNameHoldsThePortAndIsNotFollowed)
{
    std::string lockName = std::string(locks.path) + "/LCK..ttyTEST7";
    std::string stale = std::string(locks.path) + "/stale";
    std::string fifo = std::string(locks.path) + "/fifo";
    LockDirWritePid(&locks, stale.c_str(), dead);  // would not hold if followed
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(inotify_add_watch(opens, locks.path, IN_OPEN), 0);
    const std::string targets[] = {std::string(locks.path) + "/LCK..stale", fifo, std::string(locks.path) + "/gone"};
    for (const std::string& target : targets) {
        unlink(lockName.c_str());
        ASSERT_EQ(symlink(target.c_str(), lockName.c_str()), 0);
        alarm(10);
        EXPECT_TRUE(LockFileHeld(device, locks.list)) << target;
        alarm(0);
        char events[4096];
        EXPECT_EQ(read(opens, events, sizeof events), -1) << target << " was opened";
    }
    close(opens);
}

}  // namespace
