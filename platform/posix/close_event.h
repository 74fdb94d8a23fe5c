// The console control events, for the parts of this layer that must see to
// them: the terminal going away, a port about to be claimed, and the locks,
// while which the thread must not be interrupted by one.
#pragma once

#include <atomic>

// The terminal has hung up: delivers the close event, as Windows does after
// the console window closes. Returns only when nothing is there to take it
// (no handler installed and no port claimed) or SIGHUP is ignored (the
// program was asked to outlive its terminal): then the hang-up is the end of
// input.
void AwaitCloseEvent(void);
// Takes every signal whose default action ends the process as a close
// event, so that no port of ours outlives the process. Called at the first
// port: until one is claimed, the default action leaves nothing behind.
// Costs a load once they are taken. True.
bool CloseEventReady(void);

// A close event runs on the thread the signal lands on. While that thread
// holds one of this layer's locks it is busy, and the signal is kept until
// the last lock is let go, so the event never sees what a lock guards half
// changed. Anywhere else, the C library's allocator included, it runs at
// once: it frees nothing (see HeapFree) and allocates nothing. Touched only
// by the thread itself and by a signal handler running on it.
struct ThreadBusy {
    int depth;               // locks held
    int closing;             // a close event runs: what it frees stays put
    volatile int keptCount;  // signals kept, at most four
    volatile int kept[4];    // in the order they arrived
};
// __thread rather than thread_local: the object needs no construction, and
// so every use is a plain load, without a call to check for one.
extern __thread ThreadBusy threadBusy;

// Acts on the signals kept while the thread was busy, first come first;
// returns only if every one of them left the process alive.
void CloseEventKept(void);

// Around every lock of this layer: marks the thread busy until BusyLeave.
inline void BusyEnter(void)
{
    threadBusy.depth++;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

inline void BusyLeave(void)
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (--threadBusy.depth == 0 && threadBusy.keptCount) CloseEventKept();
}

// For as long as it lives the thread waits for input or output and is not
// busy: a signal is acted on at once, and one kept earlier when it starts.
// A lock held across such a wait must guard nothing the close event touches
// (the program's input lock guards only the input carried between lines).
struct WaitMark {
    int depth;
    WaitMark() : depth(threadBusy.depth)
    {
        threadBusy.depth = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (threadBusy.keptCount) CloseEventKept();
    }
    ~WaitMark()
    {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        threadBusy.depth = depth;
    }
    WaitMark(const WaitMark&) = delete;
    WaitMark& operator=(const WaitMark&) = delete;
};
