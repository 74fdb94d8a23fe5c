#include "tests/posix/lock_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace {

std::string LockPath(const LockDir* dir, const char* device)
{
    const char* slash = std::strrchr(device, '/');
    return std::string(dir->path) + "/LCK.." + (slash ? slash + 1 : device);
}

}  // namespace

bool LockDirMake(LockDir* dir)
{
    std::snprintf(dir->path, sizeof dir->path, "/tmp/comm-locks-XXXXXX");
    dir->list[0] = dir->path;
    dir->list[1] = nullptr;
    return mkdtemp(dir->path) != nullptr;
}

void LockDirWrite(LockDir* dir, const char* device, const void* content, size_t length)
{
    std::string path = LockPath(dir, device);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, content, length), (ssize_t)length);
    close(fd);
}

void LockDirWritePid(LockDir* dir, const char* device, int pid)
{
    char content[16];
    int length = std::snprintf(content, sizeof content, "%10d\n", pid);
    LockDirWrite(dir, device, content, (size_t)length);
}

void LockDirRemove(LockDir* dir)
{
    if (DIR* listing = opendir(dir->path)) {
        while (dirent* entry = readdir(listing))
            if (entry->d_name[0] != '.') unlink((std::string(dir->path) + "/" + entry->d_name).c_str());
        closedir(listing);
    }
    rmdir(dir->path);
}
