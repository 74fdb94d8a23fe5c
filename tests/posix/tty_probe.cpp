#include "tests/posix/tty_probe.h"

#include <dirent.h>

#include <cstring>

#include "gtest/gtest.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

struct termios2 ReadTermios2(int fd)
{
    struct termios2 settings;
    std::memset(&settings, 0, sizeof settings);
    EXPECT_EQ(ioctl(fd, TCGETS2, &settings), 0);
    return settings;
}

void WriteTermios2(int fd, const struct termios2& settings)
{
    EXPECT_EQ(ioctl(fd, TCSETS2, &settings), 0);
}

bool IsExclusive(int fd)
{
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    return exclusive != 0;
}

int OpenDescriptorCount()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int count = 0;
    while (readdir(dir)) count++;
    closedir(dir);
    return count;
}

bool SameTermios2(const struct termios2& a, const struct termios2& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           a.c_ispeed == b.c_ispeed && a.c_ospeed == b.c_ospeed && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}
