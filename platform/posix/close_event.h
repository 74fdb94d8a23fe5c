// The console control events, for the parts of this layer that must see to
// them: the terminal going away, a port about to be claimed, and the few
// instructions during which the thread must not be interrupted by one.
#pragma once

#include <atomic>

// The terminal has hung up: delivers the close event, whose handlers run and
// whose end then ends the process, as Windows does after the console window
// closes. Returns only when nothing is there to take the event (no handler
// installed and no port claimed) or SIGHUP is ignored (the program was asked
// to outlive its terminal): then the hang-up is the end of input.
void AwaitCloseEvent(void);
// Makes sure every signal whose default action ends the process is taken as
// a close event rather than by that action, so that no port of ours
// outlives the process. Taken at the first port, not at start-up: until a
// port is claimed, the default action leaves nothing behind. Costs a load
// once they are taken. True.
bool CloseEventReady(void);

// A signal that arrives while its thread is busy changing what the close
// event looks at (a heap, the port table, anything a critical section
// guards), or inside the C library's allocator, is kept until the thread is
// no longer busy. Only ever touched by the thread itself and by a signal
// handler running on it.
struct ThreadBusy {
    int depth;               // busy sections entered and not yet left
    volatile int keptCount;  // signals kept, at most four
    volatile int kept[4];    // in the order they arrived
};
// __thread rather than thread_local: the object needs no construction, and
// so every use is a plain load, without a call to check for one.
extern __thread ThreadBusy threadBusy;

// Acts on the signals kept while the thread was busy, first come first;
// returns only if every one of them left the process alive.
void CloseEventKept(void);

// Marks the thread busy until the matching BusyLeave: around every change to
// what the close event reads and every call that may allocate.
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
// busy: a signal is acted on at once, and one kept earlier is acted on when
// it starts. Whatever the thread holds across such a wait must guard
// nothing the close event touches (the program's own input lock guards only
// the input carried over between lines).
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
