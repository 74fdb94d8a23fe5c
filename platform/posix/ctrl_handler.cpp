// Console control events. The signals that end a console program stand for
// the events Windows delivers: SIGINT for Ctrl-C, SIGQUIT for Ctrl-Break, and
// every other signal whose default action ends the process (SIGTERM, SIGHUP,
// the terminal going away, SIGALRM, SIGUSR1, the real-time signals, ...) for
// the close event. The handlers run as the system's thread runs them on
// Windows, newest first; then every port still open is released, as Windows
// closes the handles of a process that ends, and the signal's default action
// ends the process, so that its exit status still names the signal. A
// handler that handles Ctrl-C or Ctrl-Break keeps the process alive; the
// close event always ends it.
//
// No thread of its own: the signal is taken on the thread it interrupts.
// That thread may be in the middle of changing what the handlers and the
// release look at; it then counts as busy (close_event.h), and the signal is
// kept until it is no longer busy, a few instructions later. A thread that
// waits for input or output is never busy (see WaitMark), so a signal never
// waits behind a read.
//
// A crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS) cannot
// wait: returning would crash again. The program's own memory may be what
// broke, so no handler runs and nothing is freed; the ports are let go by
// system calls alone, unless the thread was changing the port table itself.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/close_event.h"
#include "platform/posix/comm_open.h"
#include "platform/posix/win32_subset.h"

__thread ThreadBusy threadBusy;

namespace {

const int maxHandlers = 8;
PHANDLER_ROUTINE handlers[maxHandlers];
int handlerCount = 0;
pthread_mutex_t handlersLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> signalsTaken{false};
// Every signal taken, blocked while one of them is acted on: the first to
// arrive decides how the process ends.
sigset_t takenSignals;

// Those whose default action ends the process, SIGKILL aside, which cannot
// be taken, and the real-time ones, whose numbers are known only at run time.
const int endingSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGSTKFLT, SIGXCPU,
    SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS,
};

bool Crash(int signal)
{
    return signal == SIGILL || signal == SIGTRAP || signal == SIGABRT || signal == SIGBUS || signal == SIGFPE ||
           signal == SIGSEGV || signal == SIGSYS;
}

// Asked to live on when the signal comes (nohup).
bool Ignored(int signal)
{
    struct sigaction current;
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

DWORD EventFor(int signal)
{
    if (signal == SIGINT) return CTRL_C_EVENT;
    if (signal == SIGQUIT) return CTRL_BREAK_EVENT;
    return CTRL_CLOSE_EVENT;
}

bool RunHandlers(DWORD event)
{
    BusyEnter();
    pthread_mutex_lock(&handlersLock);
    PHANDLER_ROUTINE current[maxHandlers];
    int count = handlerCount;
    for (int i = 0; i < count; i++) current[i] = handlers[i];
    pthread_mutex_unlock(&handlersLock);
    BusyLeave();
    for (int i = count - 1; i >= 0; i--)
        if (current[i](event)) return true;
    return false;
}

// Ends the process by the signal's default action; what is held is let go
// before.
[[noreturn]] void EndBySignal(int signal)
{
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

// With the taken signals blocked: runs the handlers, releases every port and
// ends the process, unless a handler handled a Ctrl-C or Ctrl-Break.
void CloseEvent(int signal)
{
    DWORD event = EventFor(signal);
    if (RunHandlers(event) && event != CTRL_CLOSE_EVENT) return;
    CommCloseAll();
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

// Installed with every taken signal blocked while it runs, so that it never
// interrupts itself. A crash signal that another process sent is a signal
// like any other; abort's is a crash.
void OnSignal(int signal, siginfo_t* info, void*)
{
    if (Crash(signal) && (info->si_code > 0 || (signal == SIGABRT && info->si_pid == getpid()))) {
        CommCloseAllUnlessHeld();
        EndBySignal(signal);
    }
    if (threadBusy.depth > 0) {
        int count = threadBusy.keptCount;
        for (int i = 0; i < count; i++)
            if (threadBusy.kept[i] == signal) return;
        // Four kinds in a few instructions: the first decides, the rest are
        // kept only in case a handler keeps the process alive.
        if (count < (int)(sizeof threadBusy.kept / sizeof threadBusy.kept[0])) {
            threadBusy.kept[count] = signal;
            threadBusy.keptCount = count + 1;
        }
        return;
    }
    ErrorsKept errors;
    CloseEvent(signal);
}

}  // namespace

void CloseEventKept(void)
{
    ErrorsKept errors;
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &takenSignals, &before);
    int kept[sizeof threadBusy.kept / sizeof threadBusy.kept[0]];
    int count = threadBusy.keptCount;
    for (int i = 0; i < count; i++) kept[i] = threadBusy.kept[i];
    threadBusy.keptCount = 0;
    for (int i = 0; i < count; i++) CloseEvent(kept[i]);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool CloseEventReady(void)
{
    if (signalsTaken.load(std::memory_order_acquire)) return true;
    sigemptyset(&takenSignals);
    for (int signal : endingSignals) sigaddset(&takenSignals, signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; signal++) sigaddset(&takenSignals, signal);
    // Only those left to their default action: one ignored when the program
    // started stays ignored (nohup, a background job of a shell), and one
    // another part of the process handles (a sanitizer's crash report) stays
    // its. Taken in one call each and given back what it had when that was
    // not the default; SIG_IGN given back drops one that arrived meanwhile,
    // and blocked until then, none reaches our handler.
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &takenSignals, &before);
    struct sigaction ours = {};
    ours.sa_sigaction = OnSignal;
    ours.sa_flags = SA_SIGINFO;
    ours.sa_mask = takenSignals;
    for (int signal = 1; signal < NSIG; signal++) {
        struct sigaction found;
        if (sigismember(&takenSignals, signal) != 1 || sigaction(signal, &ours, &found) != 0) continue;
        if ((found.sa_flags & SA_SIGINFO) || found.sa_handler != SIG_DFL) sigaction(signal, &found, nullptr);
    }
    signalsTaken.store(true, std::memory_order_release);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return true;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    // A null routine is about Ctrl-C, which keeps its default here.
    if (!HandlerRoutine) return TRUE;
    BusyEnter();
    pthread_mutex_lock(&handlersLock);
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
    pthread_mutex_unlock(&handlersLock);
    BusyLeave();
    if (!done) SetLastError(ERROR_INVALID_PARAMETER);
    return done;
}

void AwaitCloseEvent(void)
{
    // Asked to outlive its terminal: the hang-up is only the end of input.
    if (Ignored(SIGHUP)) return;
    BusyEnter();
    pthread_mutex_lock(&handlersLock);
    bool handled = handlerCount > 0;
    pthread_mutex_unlock(&handlersLock);
    BusyLeave();
    // Nothing claimed and nobody to tell: the hang-up is the end of input.
    if (!handled && !signalsTaken.load(std::memory_order_acquire)) return;
    // The kernel wakes readers of a hung-up terminal before it signals the
    // session, so the SIGHUP may not have been sent yet: the close event is
    // delivered here, with the signals blocked so that it runs once.
    sigset_t blocked = takenSignals;
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    RunHandlers(CTRL_CLOSE_EVENT);
    CommCloseAll();
    EndBySignal(SIGHUP);
}
