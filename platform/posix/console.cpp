// Console control handlers on POSIX: the signals that stand for the console's control
// events are delivered to the handlers of SetConsoleCtrlHandler.
//
// SIGINT (Ctrl-C at a terminal) is CTRL_C_EVENT, SIGQUIT (Ctrl-\) CTRL_BREAK_EVENT, SIGHUP (the
// terminal went away) CTRL_CLOSE_EVENT and SIGTERM (a service manager's stop, or the system
// shutting down) CTRL_SHUTDOWN_EVENT. CTRL_LOGOFF_EVENT has no signal of its own.
//
// The signals are caught once the first handler is added. The signal handler only writes the
// signal number to a pipe; a dispatcher thread of the layer reads it and, as Windows does,
// runs the handlers on a new thread for each event, the one added last first, until one
// returns TRUE. Handlers may therefore wait, lock and write files as on Windows. When none
// returns TRUE, the default handler ends the process: here the signal's own default action
// is restored and the signal raised again, so the process ends as it would have without
// handlers. Deliberate difference: Windows ends the process once a handler of a close,
// logoff or shutdown event returns; here the program decides when it ends.
#include "platform/posix/console.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/posix/handles_internal.h"

namespace kestrune {
namespace {

const int HandledSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

struct ConsoleState {
    LayerMutex lock;
    std::vector<PHANDLER_ROUTINE> handlers;  // in the order added
    bool ignoreCtrlC = false;
    bool installed = false;
    int pipe[2] = {-1, -1};
};

ConsoleState &State() {
    static auto *state = new ConsoleState;  // never destroyed: the dispatcher may outlive main
    return *state;
}

// The write end, read by the signal handler without a lock.
volatile int signalPipe = -1;

void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    if (signalPipe >= 0) {
        ssize_t ignored = write(signalPipe, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

DWORD EventOfSignal(int number) {
    switch (number) {
        case SIGINT:
            return CTRL_C_EVENT;
        case SIGQUIT:
            return CTRL_BREAK_EVENT;
        case SIGHUP:
            return CTRL_CLOSE_EVENT;
        default:
            return CTRL_SHUTDOWN_EVENT;
    }
}

// One event and the handlers in force when its signal arrived, taken in arrival order, so that
// a handler added or removed, or Ctrl-C ignored or heeded, after the signal does not change
// how that signal is answered (on Windows too the event is matched to the handlers as it is
// raised).
struct Delivery {
    int signal;
    DWORD event;
    std::vector<PHANDLER_ROUTINE> handlers;
};

void *RunHandlers(void *argument) {
    std::unique_ptr<Delivery> owned(static_cast<Delivery *>(argument));
    const Delivery &delivery = *owned;
    for (auto handler = delivery.handlers.rbegin(); handler != delivery.handlers.rend(); ++handler) {
        if ((*handler)(delivery.event))
            return nullptr;
    }
    // The default handler: the process ends as the signal would have ended it. (This thread
    // blocks every signal, so the signal goes to the process, not to the thread.)
    signal(delivery.signal, SIG_DFL);
    kill(getpid(), delivery.signal);
    return nullptr;
}

void *Dispatch(void *) {
    // Signals go to the program's own threads, never to this one.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    const int readEnd = State().pipe[0];
    for (;;) {
        unsigned char number = 0;
        ssize_t n = read(readEnd, &number, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != 1)
            return nullptr;
        Delivery *delivery = nullptr;
        {
            ConsoleState &state = State();
            std::lock_guard<LayerMutex> guard(state.lock);
            const DWORD event = EventOfSignal(number);
            if (event == CTRL_C_EVENT && state.ignoreCtrlC)
                continue;
            try {
                delivery = new Delivery{number, event, state.handlers};
            } catch (...) {
                continue;
            }
        }
        pthread_t thread;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (pthread_create(&thread, &attributes, RunHandlers, delivery) != 0)
            RunHandlers(delivery);  // no thread to spare: run them here
        pthread_attr_destroy(&attributes);
    }
}

// Catches the signals and starts the dispatcher (state.lock held).
DWORD InstallLocked(ConsoleState &state) {
    if (state.installed)
        return 0;
    if (pipe2(state.pipe, O_CLOEXEC) != 0)
        return Win32ErrorFromErrno(errno);
    signalPipe = state.pipe[1];
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // The dispatcher must not hold up the program's own scheduling class: plain scheduling.
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
    sched_param parameters = {};
    pthread_attr_setschedparam(&attributes, &parameters);
    int started = pthread_create(&thread, &attributes, Dispatch, nullptr);
    pthread_attr_destroy(&attributes);
    if (started != 0) {
        signalPipe = -1;
        close(state.pipe[0]);
        close(state.pipe[1]);
        state.pipe[0] = state.pipe[1] = -1;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : HandledSignals)
        sigaction(number, &action, nullptr);
    state.installed = true;
    return 0;
}

}  // namespace
}  // namespace kestrune

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    using namespace kestrune;
    ConsoleState &state = State();
    std::lock_guard<LayerMutex> guard(state.lock);
    if (HandlerRoutine == nullptr) {
        state.ignoreCtrlC = Add != FALSE;
        if (Add) {
            DWORD error = InstallLocked(state);
            if (error != 0) {
                SetLastError(error);
                return FALSE;
            }
        }
        return TRUE;
    }
    if (!Add) {
        auto found = std::find(state.handlers.rbegin(), state.handlers.rend(), HandlerRoutine);
        if (found == state.handlers.rend()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        state.handlers.erase(std::next(found).base());
        return TRUE;
    }
    DWORD error = InstallLocked(state);
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    try {
        state.handlers.push_back(HandlerRoutine);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}
