// Critical sections as recursive mutexes: a thread may enter one it already
// holds, as on Windows.
#include <pthread.h>

#include <new>

#include "platform/posix/win32_subset.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "CRITICAL_SECTION too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

static pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section)
{
    return reinterpret_cast<pthread_mutex_t*>(section->opaque);
}

// The C library's initializer gives the same mutex as pthread_mutex_init
// with a recursive attribute, without the four library calls: the first
// call of each costs more than the whole scan of a name.
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    new (lpCriticalSection->opaque) pthread_mutex_t(PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP);
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}
