#include "platform/posix/port_holders.h"

#include <dirent.h>
#include <linux/major.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One thing another process holds: a character device it has open (its
// number, inode 0, which no real inode is; a pseudo-terminal by its node),
// or a node it holds a lock on (file system and inode).
struct Held {
    dev_t device;
    ino_t inode;
};

Held* held = nullptr;
size_t heldCount = 0;
size_t heldCapacity = 0;
bool looked = false;

// A device number names one device machine-wide, but for pseudo-terminals:
// each instance of their file system (a container's) numbers its own from 0.
Held KeyOf(const struct stat* status)
{
    unsigned number = major(status->st_rdev);
    if (number >= UNIX98_PTY_SLAVE_MAJOR && number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT)
        return {status->st_dev, status->st_ino};
    return {status->st_rdev, 0};
}

bool Seen(Held what)
{
    for (size_t i = 0; i < heldCount; i++)
        if (held[i].device == what.device && held[i].inode == what.inode) return true;
    return false;
}

// Adds what to the set once; false when memory ran out.
bool Note(Held what)
{
    if (Seen(what)) return true;
    if (heldCount == heldCapacity) {
        size_t capacity = heldCapacity ? heldCapacity * 2 : 64;
        Held* grown = (Held*)std::realloc(held, capacity * sizeof *held);
        if (!grown) return false;
        held = grown;
        heldCapacity = capacity;
    }
    held[heldCount++] = what;
    return true;
}

// The character devices process pid has open, noted; false only when
// memory ran out. A process gone or closed to us notes nothing. Where the
// kernel counts descriptors (counted), a process with none is not read.
bool NoteOpenDevices(const char* pid, bool counted)
{
    char path[sizeof "/proc//fd" + sizeof(dirent::d_name)];
    std::snprintf(path, sizeof path, "/proc/%s/fd", pid);
    struct stat directory;
    if (counted && stat(path, &directory) == 0 && directory.st_size == 0) return true;
    DIR* entries = opendir(path);
    if (!entries) return true;
    bool kept = true;
    while (struct dirent* entry = readdir(entries)) {
        struct stat status;
        // Following the descriptor's link stats what it has open; a device
        // node is not opened by that.
        if (entry->d_name[0] == '.' || fstatat(dirfd(entries), entry->d_name, &status, 0) != 0) continue;
        if (S_ISCHR(status.st_mode) && !(kept = Note(KeyOf(&status)))) break;
    }
    closedir(entries);
    return kept;
}

// Every process's open character devices but ours (self); false when
// memory ran out.
bool NoteOpeners(int self)
{
    DIR* processes = opendir("/proc");
    if (!processes) return true;
    // Since Linux 6.2 a descriptor directory's size is the number of
    // descriptors. Most processes are kernel threads, with none: one stat
    // spares them the three calls of reading the directory. Ours has /proc
    // open, so a kernel that counts never says 0 for it.
    struct stat own;
    bool counted = stat("/proc/self/fd", &own) == 0 && own.st_size > 0;
    char selfName[16];
    std::snprintf(selfName, sizeof selfName, "%d", self);
    bool kept = true;
    while (struct dirent* entry = readdir(processes)) {
        const char* name = entry->d_name;
        if (name[0] < '1' || name[0] > '9' || std::strcmp(name, selfName) == 0) continue;
        if (!(kept = NoteOpenDevices(name, counted))) break;
    }
    closedir(processes);
    return kept;
}

// The nodes in the kernel's lock table, whoever holds them: lines such as
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:321 0 EOF", the device in hex. A
// waiter ("1: -> FLOCK ...") holds nothing yet, and neither do we (self).
// False when memory ran out.
bool NoteLocks(int self)
{
    FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks) return true;
    char line[256];
    bool kept = true;
    while (kept && std::fgets(line, sizeof line, locks)) {
        unsigned major_, minor_;
        unsigned long inode;
        int pid;
        if (std::strstr(line, "->") ||
            std::sscanf(line, "%*d: %*s %*s %*s %d %x:%x:%lu", &pid, &major_, &minor_, &inode) != 4)
            continue;
        if (pid != self) kept = Note({makedev(major_, minor_), (ino_t)inode});
    }
    std::fclose(locks);
    return kept;
}

}  // namespace

PortHolders PortHeldElsewhere(const struct stat* node)
{
    if (!looked) {
        heldCount = 0;
        int self = (int)getpid();
        if (!NoteOpeners(self) || !NoteLocks(self)) return PortHoldersOutOfMemory;
        looked = true;
    }
    // Opened under any name of the device, or locked on this very node.
    return Seen(KeyOf(node)) || Seen({node->st_dev, node->st_ino}) ? PortHoldersSeen : PortHoldersNone;
}
