// Critical sections as re-entrant mutexes: a thread may enter one it already
// holds, as on Windows. A thread in one is busy (close_event.h): what the
// section guards is never seen half changed by a close event.
#include <pthread.h>

#include <new>

#include "platform/posix/close_event.h"
#include "platform/posix/win32_subset.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "CRITICAL_SECTION too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

static pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section)
{
    return std::launder(reinterpret_cast<pthread_mutex_t*>(section->opaque));
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutexattr_t recursive;
    pthread_mutexattr_init(&recursive);
    pthread_mutexattr_settype(&recursive, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (lpCriticalSection->opaque) pthread_mutex_t, &recursive);
    pthread_mutexattr_destroy(&recursive);
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    BusyEnter();
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
    BusyLeave();
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}
