// The console close event. The terminal going away (SIGHUP) is the
// counterpart of closing the console window: SIGHUP is blocked in every
// thread and taken by one thread of its own, which runs the handlers as the
// system's thread does on Windows, newest first. When none handles it, the
// default action follows and ends the process. Ctrl-C keeps its default.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/close_event.h"
#include "platform/posix/win32_subset.h"

namespace {

const int maxHandlers = 8;
PHANDLER_ROUTINE handlers[maxHandlers];
int handlerCount = 0;
pthread_mutex_t handlersLock = PTHREAD_MUTEX_INITIALIZER;
bool closeThreadStarted = false;

sigset_t HangupSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    return set;
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

void* CloseEventThread(void*)
{
    sigset_t hangup = HangupSet();
    for (;;) {
        int signal = 0;
        if (sigwait(&hangup, &signal) != 0) continue;
        if (RunHandlers(CTRL_CLOSE_EVENT)) continue;
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigaction(SIGHUP, &fallback, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &hangup, nullptr);
        raise(SIGHUP);
        _exit(128 + SIGHUP);  // not reached: the default action ends the process
    }
}

// Called with handlersLock held. The mask is set before the thread starts,
// so the thread and every thread created later inherit it.
bool StartCloseThread()
{
    if (closeThreadStarted) return true;
    sigset_t hangup = HangupSet();
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, CloseEventThread, nullptr) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &hangup, nullptr);
        return false;
    }
    pthread_detach(thread);
    closeThreadStarted = true;
    return true;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    // A null routine is about Ctrl-C, which keeps its default here.
    if (!HandlerRoutine) return TRUE;
    pthread_mutex_lock(&handlersLock);
    BOOL done = FALSE;
    if (Add) {
        if (handlerCount < maxHandlers && StartCloseThread()) {
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
    pthread_mutex_lock(&handlersLock);
    bool listening = closeThreadStarted;
    pthread_mutex_unlock(&handlersLock);
    if (!listening) return;
    // The kernel wakes readers of a hung-up terminal before it signals the
    // session, so the SIGHUP may not have been sent yet. One more is
    // harmless: pending signals merge, and the close thread ends the process
    // on the first.
    kill(getpid(), SIGHUP);
    // Windows allows close handlers five seconds before ending the process.
    timespec rest = {5, 0};
    while (nanosleep(&rest, &rest) != 0) {
    }
}
