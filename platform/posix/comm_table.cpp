#include "platform/posix/comm_table.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/close_event.h"
#include "platform/posix/handles.h"

namespace {

// Below the program's heaps, so plain malloc. A handful of ports at most are
// open at once, so a linear search does.
CommRecord* records = nullptr;
size_t recordCount = 0;
size_t recordCapacity = 0;
// Held, the thread is busy (close_event.h): no close event sweeps the table
// of the thread that holds it.
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
bool closing = false;  // the sweep has begun: no port is claimed any more

// The index of h's record, or recordCount when it has none. Under tableLock.
size_t IndexOf(HANDLE h)
{
    int fd;
    if (!DescriptorOf(h, &fd)) return recordCount;
    size_t i = 0;
    while (i < recordCount && records[i].fd != fd) i++;
    return i;
}

void TableEnter()
{
    BusyEnter();
    pthread_mutex_lock(&tableLock);
}

void TableLeave()
{
    pthread_mutex_unlock(&tableLock);
    BusyLeave();
}

}  // namespace

CommHold::CommHold() : held(true), record(nullptr)
{
    TableEnter();
    if (!closing) return;
    TableLeave();
    held = false;
    SetLastError(ERROR_ACCESS_DENIED);
}

CommHold::CommHold(HANDLE h, const void* argument) : held(true), record(nullptr)
{
    TableEnter();
    // After the sweep the table is empty, so no handle is found.
    size_t i = IndexOf(h);
    if (i < recordCount && argument) {
        record = &records[i];
        return;
    }
    TableLeave();
    held = false;
    SetLastError(i < recordCount ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
}

CommHold::~CommHold()
{
    if (held) TableLeave();
}

CommRecord* CommTableAdd(const CommHold&, int fd)
{
    if (recordCount == recordCapacity) {
        size_t capacity = recordCapacity ? recordCapacity * 2 : 8;
        CommRecord* grown = (CommRecord*)std::realloc((void*)records, capacity * sizeof *records);
        if (!grown) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        records = grown;
        recordCapacity = capacity;
    }
    CommRecord* record = &records[recordCount++];
    std::memset(record, 0, sizeof *record);
    record->fd = fd;
    return record;
}

bool CommTableRemove(const CommHold&, HANDLE h, CommRecord* record)
{
    size_t i = IndexOf(h);
    if (i == recordCount) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *record = records[i];
    // The last record fills the gap, unless it is the one removed.
    if (i != --recordCount) records[i] = records[recordCount];
    return true;
}

void CommTableCloseAll(bool (*release)(const CommRecord* record), bool wait)
{
    BusyEnter();
    if ((wait ? pthread_mutex_lock(&tableLock) : pthread_mutex_trylock(&tableLock)) != 0) {
        BusyLeave();
        return;
    }
    closing = true;
    for (size_t i = 0; i < recordCount; i++) release(&records[i]);
    recordCount = 0;
    TableLeave();
}
