// Console control events. The signals that end a console program stand for
// the events Windows delivers: SIGINT for Ctrl-C, SIGQUIT for Ctrl-Break,
// SIGHUP (the terminal going away) and SIGTERM for the close event. They are
// blocked in every thread and taken by one thread of its own, which runs the
// handlers as the system's thread does on Windows, newest first, then
// releases every port still open, as Windows closes the handles of a process
// that ends, and lets the signal's default action end the process, so that
// its exit status still names the signal. A handler that handles Ctrl-C or
// Ctrl-Break keeps the process alive; the close event always ends it.
//
// The thread starts with the first port, not at start-up: until a port is
// claimed, a signal's default action leaves nothing behind.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/close_event.h"
#include "platform/posix/comm_open.h"
#include "platform/posix/win32_subset.h"

namespace {

const int maxHandlers = 8;
PHANDLER_ROUTINE handlers[maxHandlers];
int handlerCount = 0;
pthread_mutex_t handlersLock = PTHREAD_MUTEX_INITIALIZER;
bool closeThreadStarted = false;

const struct {
    int signal;
    DWORD event;
} terminatingSignals[] = {
    {SIGINT, CTRL_C_EVENT},
    {SIGQUIT, CTRL_BREAK_EVENT},
    {SIGTERM, CTRL_CLOSE_EVENT},
    {SIGHUP, CTRL_CLOSE_EVENT},
};

// A signal ignored when the program started (nohup, a background job of a
// shell) stays ignored: taking it would end a program asked to live on.
bool Ignored(int signal)
{
    struct sigaction current;
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

sigset_t TakenSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const auto& s : terminatingSignals)
        if (!Ignored(s.signal)) sigaddset(&set, s.signal);
    return set;
}

DWORD EventFor(int signal)
{
    for (const auto& s : terminatingSignals)
        if (s.signal == signal) return s.event;
    return CTRL_CLOSE_EVENT;
}

bool RunHandlers(DWORD event)
{
    pthread_mutex_lock(&handlersLock);
    PHANDLER_ROUTINE current[maxHandlers];
    int count = handlerCount;
    for (int i = 0; i < count; i++) current[i] = handlers[i];
    pthread_mutex_unlock(&handlersLock);
    for (int i = count - 1; i >= 0; i--)
        if (current[i](event)) return true;
    return false;
}

// Releases every port of ours, then ends the process by the signal's
// default action, from whichever thread calls it.
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

void* CloseEventThread(void* taken)
{
    const sigset_t* set = (const sigset_t*)taken;
    for (;;) {
        int signal = 0;
        if (sigwait(set, &signal) != 0) continue;
        DWORD event = EventFor(signal);
        if (RunHandlers(event) && event != CTRL_CLOSE_EVENT) continue;
        EndBySignal(signal);
    }
}

// Called with handlersLock held. The mask is set before the thread starts,
// so the thread and every thread created later inherit it.
bool StartCloseThread()
{
    static sigset_t taken;
    taken = TakenSignals();
    pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, CloseEventThread, &taken) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
        return false;
    }
    pthread_detach(thread);
    closeThreadStarted = true;
    return true;
}

}  // namespace

bool CloseEventReady(void)
{
    pthread_mutex_lock(&handlersLock);
    bool ready = closeThreadStarted || StartCloseThread();
    pthread_mutex_unlock(&handlersLock);
    return ready;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    // A null routine is about Ctrl-C, which keeps its default here.
    if (!HandlerRoutine) return TRUE;
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
    if (!done) SetLastError(ERROR_INVALID_PARAMETER);
    return done;
}

void AwaitCloseEvent(void)
{
    // Asked to outlive its terminal: the hang-up is only the end of input.
    if (Ignored(SIGHUP)) return;
    pthread_mutex_lock(&handlersLock);
    bool listening = closeThreadStarted;
    bool handled = handlerCount > 0;
    pthread_mutex_unlock(&handlersLock);
    if (listening) {
        // The kernel wakes readers of a hung-up terminal before it signals
        // the session, so the SIGHUP may not have been sent yet. One more is
        // harmless: pending signals merge, and the close thread ends the
        // process on the first.
        kill(getpid(), SIGHUP);
        // Windows allows close handlers five seconds before ending the
        // process; so does this thread, then ends it itself.
        timespec rest = {5, 0};
        while (nanosleep(&rest, &rest) != 0) {
        }
    } else if (handled) {
        // No port was ever claimed, so no thread takes the signal: the
        // handlers run here, before its default action would end us.
        RunHandlers(CTRL_CLOSE_EVENT);
    } else {
        return;
    }
    EndBySignal(SIGHUP);
}
