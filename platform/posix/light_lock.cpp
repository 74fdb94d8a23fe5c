#include "platform/posix/light_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

__thread ThreadBusy threadBusy;

// The futex word is the lock's state; a wait returns at once when the state
// is no longer 2, so a wake between the exchange and the wait is not lost.
void LightLockWait(LightLock* lock)
{
    while (lock->state.exchange(2, std::memory_order_acquire) != 0)
        syscall(SYS_futex, &lock->state, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
}

void LightLockWake(LightLock* lock)
{
    syscall(SYS_futex, &lock->state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
