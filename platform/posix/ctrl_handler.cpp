// Console control events. SIGINT stands for Ctrl-C, SIGQUIT for Ctrl-Break,
// and every other signal whose default action ends the process (SIGTERM,
// SIGHUP, SIGALRM, the real-time signals, ...) for the close event. The
// handlers run newest first, as on Windows; then every port still open is
// released, as Windows closes the handles of a process that ends, and the
// signal's default action ends the process, so that its exit status still
// names the signal. A handler that handles Ctrl-C or Ctrl-Break keeps the
// process alive; the close event always ends it.
//
// No thread of its own: the event runs on the thread the signal interrupts,
// kept for later while that thread is busy (close_event.h).
//
// A crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS) cannot
// wait, and the program's own memory may be what broke: no handler runs,
// and the ports are let go by system calls alone, unless the thread was
// changing the port table itself.
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

DWORD EventFor(int signal)
{
    if (signal == SIGINT) return CTRL_C_EVENT;
    if (signal == SIGQUIT) return CTRL_BREAK_EVENT;
    return CTRL_CLOSE_EVENT;
}

// The handlers, copied under the lock, so that one may add or remove others.
int HandlersNow(PHANDLER_ROUTINE* now)
{
    BusyEnter();
    pthread_mutex_lock(&handlersLock);
    int count = handlerCount;
    for (int i = 0; i < count; i++) now[i] = handlers[i];
    pthread_mutex_unlock(&handlersLock);
    BusyLeave();
    return count;
}

bool RunHandlers(DWORD event)
{
    PHANDLER_ROUTINE now[maxHandlers];
    for (int i = HandlersNow(now) - 1; i >= 0; i--)
        if (now[i](event)) return true;
    return false;
}

// Ends the process by the signal's default action.
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
    threadBusy.closing++;
    if (!RunHandlers(event) || event == CTRL_CLOSE_EVENT) {
        CommCloseAll();
        EndBySignal(signal);
    }
    threadBusy.closing--;
}

// What the interrupted code may be about to read: a handler that keeps the
// process alive leaves it as it was, as a handler on a thread of its own would.
struct ErrorsKept {
    int savedErrno = errno;
    DWORD savedLastError = GetLastError();
    ~ErrorsKept()
    {
        SetLastError(savedLastError);
        errno = savedErrno;
    }
};

// Runs with every taken signal blocked. A crash signal that another process
// sent is a signal like any other; abort's is a crash.
void OnSignal(int signal, siginfo_t* info, void*)
{
    if (Crash(signal) && (info->si_code > 0 || (signal == SIGABRT && info->si_pid == getpid()))) {
        CommCloseAllUnlessHeld();
        EndBySignal(signal);
    }
    if (threadBusy.depth > 0) {
        // The first decides; the rest are kept only in case a handler keeps
        // the process alive.
        int count = threadBusy.keptCount;
        for (int i = 0; i < count; i++)
            if (threadBusy.kept[i] == signal) return;
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
    // started stays ignored (nohup, a background job), and one another part
    // of the process handles (a sanitizer's crash report) stays its. Each is
    // taken in one call and given back when it was not the default; blocked
    // meanwhile, none reaches our handler before that.
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
    int i = handlerCount - 1;
    while (!Add && i >= 0 && handlers[i] != HandlerRoutine) i--;
    BOOL done = Add ? handlerCount < maxHandlers : i >= 0;
    if (done && Add) handlers[handlerCount++] = HandlerRoutine;
    if (done && !Add) {
        for (; i + 1 < handlerCount; i++) handlers[i] = handlers[i + 1];
        handlerCount--;
    }
    pthread_mutex_unlock(&handlersLock);
    BusyLeave();
    if (!done) SetLastError(ERROR_INVALID_PARAMETER);
    return done;
}

void AwaitCloseEvent(void)
{
    // Asked to outlive its terminal, or nothing claimed and nobody to tell:
    // the hang-up is the end of input.
    struct sigaction hangUp;
    if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler == SIG_IGN) return;
    PHANDLER_ROUTINE now[maxHandlers];
    if (HandlersNow(now) == 0 && !signalsTaken.load(std::memory_order_acquire)) return;
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
