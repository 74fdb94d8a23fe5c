// Console control events. The signals that end a console program stand for
// the events Windows delivers: SIGINT for Ctrl-C, SIGQUIT for Ctrl-Break,
// SIGHUP (the terminal going away) and SIGTERM for the close event. The
// handlers run as the system's thread runs them on Windows, newest first;
// then every port still open is released, as Windows closes the handles of
// a process that ends, and the signal's default action ends the process, so
// that its exit status still names the signal. A handler that handles
// Ctrl-C or Ctrl-Break keeps the process alive; the close event always ends
// it.
//
// No thread of its own: the signal is taken on the thread it interrupts.
// That thread may be in the middle of changing what the handlers and the
// release look at (a heap, the port table, anything a critical section
// guards); it then counts as busy (light_lock.h), and the signal is kept
// until it has let go of the last lock, a few instructions later. A thread
// that waits for input or output is never busy (see WaitMark), so a signal
// never waits behind a read.
//
// The signals are taken from the first port on, not at start-up: until a
// port is claimed, their default action leaves nothing behind.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/close_event.h"
#include "platform/posix/comm_open.h"
#include "platform/posix/light_lock.h"
#include "platform/posix/win32_subset.h"

namespace {

const int maxHandlers = 8;
PHANDLER_ROUTINE handlers[maxHandlers];
int handlerCount = 0;
LightLock handlersLock;
std::atomic<bool> signalsTaken{false};

const struct {
    int signal;
    DWORD event;
} terminatingSignals[] = {
    {SIGINT, CTRL_C_EVENT},
    {SIGQUIT, CTRL_BREAK_EVENT},
    {SIGTERM, CTRL_CLOSE_EVENT},
    {SIGHUP, CTRL_CLOSE_EVENT},
};

sigset_t TerminatingSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const auto& s : terminatingSignals) sigaddset(&set, s.signal);
    return set;
}

// A signal ignored when the program started (nohup, a background job of a
// shell) stays ignored: taking it would end a program asked to live on.
bool Ignored(int signal)
{
    struct sigaction current;
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

DWORD EventFor(int signal)
{
    for (const auto& s : terminatingSignals)
        if (s.signal == signal) return s.event;
    return CTRL_CLOSE_EVENT;
}

bool RunHandlers(DWORD event)
{
    LightLockEnter(&handlersLock);
    PHANDLER_ROUTINE current[maxHandlers];
    int count = handlerCount;
    for (int i = 0; i < count; i++) current[i] = handlers[i];
    LightLockLeave(&handlersLock);
    for (int i = count - 1; i >= 0; i--)
        if (current[i](event)) return true;
    return false;
}

// Releases every port of ours, then ends the process by the signal's
// default action.
[[noreturn]] void EndBySignal(int signal)
{
    CommCloseAll();
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached: the default action ends the process
}

void BlockTerminating(sigset_t* before)
{
    sigset_t taken = TerminatingSet();
    pthread_sigmask(SIG_BLOCK, &taken, before);
}

// With the terminating signals blocked (the first to arrive decides how the
// process ends): runs the handlers and ends the process, unless a handler
// handled a Ctrl-C or Ctrl-Break.
void CloseEvent(int signal)
{
    DWORD event = EventFor(signal);
    if (RunHandlers(event) && event != CTRL_CLOSE_EVENT) return;
    EndBySignal(signal);
}

// What the interrupted code may be about to read: a handler that keeps the
// process alive must leave it as it was, as a handler on a thread of its own
// would.
struct ErrorsKept {
    int savedErrno = errno;
    DWORD savedLastError = GetLastError();
    ~ErrorsKept()
    {
        SetLastError(savedLastError);
        errno = savedErrno;
    }
};

void OnTerminatingSignal(int signal)
{
    if (threadBusy.depth > 0) {
        threadBusy.keptSignals = threadBusy.keptSignals | (1 << signal);
        return;
    }
    ErrorsKept errors;
    // Returning from the handler restores the mask it interrupted.
    BlockTerminating(nullptr);
    CloseEvent(signal);
}

}  // namespace

void CloseEventKept(void)
{
    ErrorsKept errors;
    sigset_t before;
    BlockTerminating(&before);
    int kept = threadBusy.keptSignals;
    threadBusy.keptSignals = 0;
    for (const auto& s : terminatingSignals)
        if (kept & (1 << s.signal)) CloseEvent(s.signal);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool CloseEventReady(void)
{
    if (signalsTaken.load(std::memory_order_acquire)) return true;
    // Asked first, then taken: a signal ignored until now stays ignored.
    // Nothing but sigaction, so that the first port binds no more of the C
    // library than it must.
    struct sigaction ours = {};
    ours.sa_handler = OnTerminatingSignal;
    for (const auto& s : terminatingSignals)
        if (!Ignored(s.signal)) sigaction(s.signal, &ours, nullptr);
    signalsTaken.store(true, std::memory_order_release);
    return true;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    // A null routine is about Ctrl-C, which keeps its default here.
    if (!HandlerRoutine) return TRUE;
    LightLockEnter(&handlersLock);
    BOOL done = FALSE;
    if (Add) {
        if (handlerCount < maxHandlers) {
            handlers[handlerCount++] = HandlerRoutine;
            done = TRUE;
        }
    } else {
        for (int i = handlerCount - 1; i >= 0 && !done; i--) {
            if (handlers[i] != HandlerRoutine) continue;
            for (int j = i; j + 1 < handlerCount; j++) handlers[j] = handlers[j + 1];
            handlerCount--;
            done = TRUE;
        }
    }
    LightLockLeave(&handlersLock);
    if (!done) SetLastError(ERROR_INVALID_PARAMETER);
    return done;
}

void AwaitCloseEvent(void)
{
    // Asked to outlive its terminal: the hang-up is only the end of input.
    if (Ignored(SIGHUP)) return;
    LightLockEnter(&handlersLock);
    bool handled = handlerCount > 0;
    LightLockLeave(&handlersLock);
    // Nothing claimed and nobody to tell: the hang-up is the end of input.
    if (!handled && !signalsTaken.load(std::memory_order_acquire)) return;
    // The kernel wakes readers of a hung-up terminal before it signals the
    // session, so the SIGHUP may not have been sent yet: the close event is
    // delivered here, with the signals blocked so that it runs once.
    BlockTerminating(nullptr);
    RunHandlers(CTRL_CLOSE_EVENT);
    EndBySignal(SIGHUP);
}
