// The locks of this layer: each guards a few instructions (a heap's block
// list, the port table, a critical section), and nearly always nobody else
// wants it. Taking and leaving a free lock is one atomic operation each, with
// no call into the C library; a thread that finds it taken sleeps in the
// kernel until it is let go.
//
// While a thread holds any of them it is busy: a terminating signal that
// arrives then is kept until it lets the last one go (see ctrl_handler.cpp), so
// that what the lock guards is never seen half changed.
#pragma once

#include <atomic>

struct LightLock {
    std::atomic<int> state;  // 0 free, 1 taken, 2 taken and someone waits
};

// Only ever touched by the thread itself and by a signal handler running on
// it: the number of locks it holds, and the terminating signals kept for later.
struct ThreadBusy {
    int depth;
    volatile int keptSignals;  // bit n: signal n arrived while busy
};
// __thread rather than thread_local: the object needs no construction, and
// so every use is a plain load, without a call to check for one.
extern __thread ThreadBusy threadBusy;

// The slow halves, out of line: waiting for a taken lock, waking a waiter,
// and acting on a kept signal once the thread holds nothing.
void LightLockWait(LightLock* lock);
void LightLockWake(LightLock* lock);
void CloseEventKept(void);

// Marks the thread busy for as long as it holds something.
inline void BusyEnter(void)
{
    threadBusy.depth++;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline void BusyLeave(void)
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (--threadBusy.depth == 0 && threadBusy.keptSignals) CloseEventKept();
}

inline void LightLockEnter(LightLock* lock)
{
    BusyEnter();
    int expected = 0;
    if (!lock->state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) LightLockWait(lock);
}

inline void LightLockLeave(LightLock* lock)
{
    if (lock->state.exchange(0, std::memory_order_release) == 2) LightLockWake(lock);
    BusyLeave();
}

// Re-entrant: the thread that holds it may take it again, and lets it go
// when it has left it as often as it entered.
struct RecursiveLock {
    LightLock lock;
    std::atomic<const void*> owner;
    unsigned depth;
};

// Tells threads apart: the address of a thread-local object.
inline const void* ThisThread(void)
{
    static __thread char self;
    return &self;
}

inline void RecursiveLockEnter(RecursiveLock* lock)
{
    const void* self = ThisThread();
    if (lock->owner.load(std::memory_order_relaxed) == self) {
        BusyEnter();
        lock->depth++;
        return;
    }
    LightLockEnter(&lock->lock);
    lock->owner.store(self, std::memory_order_relaxed);
    lock->depth = 1;
}

inline void RecursiveLockLeave(RecursiveLock* lock)
{
    if (--lock->depth != 0) {
        BusyLeave();
        return;
    }
    lock->owner.store(nullptr, std::memory_order_relaxed);
    LightLockLeave(&lock->lock);
}

// For as long as it lives the thread waits for input or output and is not
// busy: a terminating signal is acted on at once, and one kept earlier is
// acted on when it starts. Whatever the thread holds across such a wait
// must guard nothing the close event touches (the program's own input lock
// guards only the input carried over between lines).
struct WaitMark {
    int depth;
    WaitMark() : depth(threadBusy.depth)
    {
        threadBusy.depth = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (threadBusy.keptSignals) CloseEventKept();
    }
    ~WaitMark()
    {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        threadBusy.depth = depth;
    }
    WaitMark(const WaitMark&) = delete;
    WaitMark& operator=(const WaitMark&) = delete;
};
