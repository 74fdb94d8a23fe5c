// Critical sections as re-entrant locks: a thread may enter one it already
// holds, as on Windows.
#include <new>

#include "platform/posix/light_lock.h"
#include "platform/posix/win32_subset.h"

static_assert(sizeof(RecursiveLock) <= sizeof(CRITICAL_SECTION::opaque), "CRITICAL_SECTION too small");
static_assert(alignof(RecursiveLock) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

static RecursiveLock* LockOf(LPCRITICAL_SECTION section)
{
    return std::launder(reinterpret_cast<RecursiveLock*>(section->opaque));
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    new (lpCriticalSection->opaque) RecursiveLock{{0}, {nullptr}, 0};
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    RecursiveLockEnter(LockOf(lpCriticalSection));
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    RecursiveLockLeave(LockOf(lpCriticalSection));
}

// Nothing to give back: the lock is plain memory.
void DeleteCriticalSection(LPCRITICAL_SECTION)
{
}
