// Critical sections as real recursive mutexes, as re-entrant as Windows'.
#include <mutex>
#include <new>
#include <set>

#include "fake_win32.h"

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque), "CRITICAL_SECTION too small");
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

namespace {

std::mutex lock;
// Tests bring the program's layers up again for every case, so a section is
// initialised again without having been deleted; the old mutex is ended first.
std::set<LPCRITICAL_SECTION> live;

std::recursive_mutex* MutexOf(LPCRITICAL_SECTION section)
{
    return std::launder(reinterpret_cast<std::recursive_mutex*>(section->opaque));
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!live.insert(lpCriticalSection).second) MutexOf(lpCriticalSection)->~recursive_mutex();
    new (lpCriticalSection->opaque) std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    MutexOf(lpCriticalSection)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    MutexOf(lpCriticalSection)->unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    std::lock_guard<std::mutex> guard(lock);
    if (live.erase(lpCriticalSection)) MutexOf(lpCriticalSection)->~recursive_mutex();
}
