// Threads on POSIX: _beginthreadex starts a detached pthread running a trampoline that
// publishes its kernel thread id, waits while created suspended, runs the start routine
// and, when it ends, records the exit code and makes its handle signalled (under the wait
// lock, so waits on thread handles are ordinary waits). Thread ids are kernel tids.
// Unnamed mutexes still owned by an ending thread are abandoned.
//
// TerminateThread cannot unwind another thread safely on POSIX, and neither does Windows
// run any of the thread's code. Here the target gets a signal whose handler ends the kernel
// thread at once (the exit system call of that thread alone): it never runs another
// instruction of the program, its stack stays allocated and anything it held outside the
// layer stays as it is (as on Windows: a lock the thread held in product code stays held).
// The kernel abandons the named (cross-process, robust) mutexes it owned, so the next wait on
// one returns WAIT_ABANDONED, in this process or another, as on Windows. A thread inside one
// of the layer's own critical sections ends as it leaves the last one, and a thread sleeping
// in a wait is woken to end before taking anything. TerminateThread returns once the thread
// has ended (or NamedObjectLockMilliseconds passed), with the handle signalled, the given exit
// code kept and the thread's unnamed mutexes abandoned. Only threads started by
// _beginthreadex (or the calling thread) can be terminated.
#include <linux/futex.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/posix/handles_internal.h"
#include "platform/posix/named_objects.h"

namespace kestrune {

void MarkParkPendingFromSignal();
bool InsideLayerCriticalSection();
// Scheduling, in process.cpp.
void ApplyNewThreadScheduling();
int ReadThreadLevel(pid_t tid);
bool SetThreadLevel(pid_t tid, int level);
DWORD_PTR SetThreadAffinity(pid_t tid, DWORD_PTR mask);

namespace {

class ThreadObject : public KernelObject {
public:
    ThreadObject() : KernelObject(ObjectKind::Thread) { sem_init(&stopAcknowledged_, 0, 0); }
    ~ThreadObject() override { sem_destroy(&stopAcknowledged_); }
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return finished_; }

    // All guarded by WaitLock().
    pthread_t thread{};
    DWORD threadId = 0;
    DWORD exitCode = STILL_ACTIVE;
    bool finished_ = false;
    bool stopRequested = false;
    DWORD suspendCount = 0;
    pthread_cond_t resumed = PTHREAD_COND_INITIALIZER;
    sem_t stopAcknowledged_;       // posted from the stop signal handler
    Waiter *sleepingIn = nullptr;  // the wait it sleeps in, if any
    // The kernel tid while the kernel thread lives; the kernel clears it (and wakes a futex
    // waiter) when a terminated thread has ended.
    uint32_t exitWord = 0;

    // WaitLock() held.
    void Finish(DWORD code) {
        if (finished_)
            return;
        exitCode = code;
        finished_ = true;
        SignalWaiters();
    }
};

struct StartInfo {
    std::shared_ptr<ThreadObject> object;
    unsigned(__stdcall *start)(void *);
    void *argument;
    sem_t published;
};

// The thread object of a thread started by _beginthreadex (null for other threads).
thread_local ThreadObject *tlsThread = nullptr;
thread_local bool tlsExitRequested = false;
thread_local unsigned tlsExitCode = 0;

int StopSignal() {
    return SIGRTMIN + 7;
}

void StopSignalHandler(int) {
    int saved = errno;
    ThreadObject *self = tlsThread;
    if (InsideLayerCriticalSection()) {
        MarkParkPendingFromSignal();
        if (self)
            sem_post(&self->stopAcknowledged_);
        errno = saved;
        return;
    }
    if (self)
        sem_post(&self->stopAcknowledged_);
    EndCurrentThread();
}

void InstallStopHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = StopSignalHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(StopSignal(), &action, nullptr);
    });
}

// Runs as the thread ends, also when _endthreadex unwinds it.
struct FinishOnExit {
    ThreadObject *object;
    unsigned returned = 0;
    ~FinishOnExit() {
        const DWORD code = tlsExitRequested ? tlsExitCode : returned;
        AbandonMutexesOwnedBy(object->threadId);
        std::lock_guard<LayerMutex> guard(WaitLock());
        object->Finish(code);
    }
};

void *Trampoline(void *raw) {
    auto *info = static_cast<StartInfo *>(raw);
    std::shared_ptr<ThreadObject> object = info->object;  // this thread's own reference
    unsigned(__stdcall * start)(void *) = info->start;
    void *argument = info->argument;
    tlsThread = object.get();
    {
        std::lock_guard<LayerMutex> guard(WaitLock());
        object->threadId = static_cast<DWORD>(gettid());
        __atomic_store_n(&object->exitWord, static_cast<uint32_t>(object->threadId), __ATOMIC_RELEASE);
    }
    // Before the creator learns the thread exists, so a priority or affinity it sets
    // right after creation is not overwritten here.
    ApplyNewThreadScheduling();
    sem_post(&info->published);  // info is gone after this
    {
        std::unique_lock<LayerMutex> lock(WaitLock());
        while (object->suspendCount > 0 && !ParkPending())
            pthread_cond_wait(&object->resumed, WaitLock().native());
    }
    FinishOnExit finish{object.get()};
    finish.returned = start(argument);
    return nullptr;
}

std::shared_ptr<ThreadObject> ThreadFromHandle(HANDLE handle) {
    return LookupObject<ThreadObject>(handle, ObjectKind::Thread);
}

// Runs an operation on the kernel thread behind a handle while that thread cannot end
// (the wait lock is held), so its id cannot be reused meanwhile. A thread that has ended
// fails with ERROR_INVALID_HANDLE.
template <class Operation>
bool WithThreadId(HANDLE handle, Operation operation) {
    if (handle == CurrentThreadPseudoHandle()) {
        operation(static_cast<pid_t>(gettid()));
        return true;
    }
    auto thread = ThreadFromHandle(handle);
    if (!thread)
        return false;
    std::lock_guard<LayerMutex> guard(WaitLock());
    if (thread->finished_ || thread->stopRequested) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    operation(static_cast<pid_t>(thread->threadId));
    return true;
}

}  // namespace

void EndCurrentThread() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    // The kernel clears the word and wakes its waiter once the thread is gone, after it has
    // abandoned the thread's robust mutexes.
    if (tlsThread)
        syscall(SYS_set_tid_address, &tlsThread->exitWord);
    for (;;)
        syscall(SYS_exit, 0);
}

void SetCurrentThreadWait(Waiter *waiter) {
    if (tlsThread)
        tlsThread->sleepingIn = waiter;
}

namespace {

// Waits until a terminated thread's kernel thread has ended, at most the given time.
void WaitForKernelThreadEnd(ThreadObject &thread, unsigned milliseconds) {
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += milliseconds / 1000;
    end.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec += 1;
        end.tv_nsec -= 1000000000L;
    }
    for (;;) {
        const uint32_t word = __atomic_load_n(&thread.exitWord, __ATOMIC_ACQUIRE);
        if (word == 0)
            return;
        struct timespec now, left;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = end.tv_sec - now.tv_sec;
        left.tv_nsec = end.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_sec -= 1;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0)
            return;
        // Not a private futex: the kernel's wake at thread exit is a shared one.
        syscall(SYS_futex, &thread.exitWord, FUTEX_WAIT, word, &left, nullptr, 0);
    }
}

}  // namespace

}  // namespace kestrune

using namespace kestrune;

uintptr_t _beginthreadex(void *security, unsigned stack_size, unsigned(__stdcall *start_address)(void *),
                         void *arglist, unsigned initflag, unsigned *thrdaddr) {
    (void)security;
    if (!start_address || (initflag & ~CREATE_SUSPENDED) != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    InstallStopHandler();
    StartInfo info;
    try {
        info.object = std::make_shared<ThreadObject>();
    } catch (...) {
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    info.start = start_address;
    info.argument = arglist;
    info.object->suspendCount = (initflag & CREATE_SUSPENDED) ? 1 : 0;
    sem_init(&info.published, 0, 0);

    HANDLE handle = RegisterObject(info.object);
    if (!handle) {
        sem_destroy(&info.published);
        errno = ENOMEM;
        return 0;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size != 0)
        pthread_attr_setstacksize(&attr, stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, Trampoline, &info);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        UnregisterObject(handle);
        sem_destroy(&info.published);
        errno = rc;
        SetLastErrorFromErrno(rc);
        return 0;
    }
    while (sem_wait(&info.published) != 0) {
    }
    sem_destroy(&info.published);
    DWORD threadId;
    {
        std::lock_guard<LayerMutex> guard(WaitLock());
        info.object->thread = thread;
        threadId = info.object->threadId;
    }
    if (thrdaddr)
        *thrdaddr = threadId;
    return reinterpret_cast<uintptr_t>(handle);
}

// Ends the calling thread with the given exit code; the thread's C++ objects are unwound.
void _endthreadex(unsigned retval) {
    tlsExitRequested = true;
    tlsExitCode = retval;
    pthread_exit(nullptr);
}

HANDLE GetCurrentThread() {
    return CurrentThreadPseudoHandle();
}
DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(gettid());
}
HANDLE GetCurrentProcess() {
    return CurrentProcessPseudoHandle();
}
DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (lpName == nullptr || *lpName == '\0' || std::strchr(lpName, '=') != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int result = lpValue != nullptr ? setenv(lpName, lpValue, 1) : unsetenv(lpName);
    if (result != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    if (!lpExitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (hThread == CurrentThreadPseudoHandle()) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto thread = ThreadFromHandle(hThread);
    if (!thread)
        return FALSE;
    std::lock_guard<LayerMutex> guard(WaitLock());
    *lpExitCode = thread->exitCode;
    return TRUE;
}

DWORD ResumeThread(HANDLE hThread) {
    auto thread = ThreadFromHandle(hThread);
    if (!thread)
        return static_cast<DWORD>(-1);
    std::lock_guard<LayerMutex> guard(WaitLock());
    DWORD previous = thread->suspendCount;
    if (previous > 0 && --thread->suspendCount == 0)
        pthread_cond_signal(&thread->resumed);
    return previous;
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    if (hThread == CurrentThreadPseudoHandle() || (tlsThread && LookupObject(hThread).get() == tlsThread)) {
        // The calling thread stops itself.
        DWORD self = static_cast<DWORD>(gettid());
        if (tlsThread) {
            {
                std::lock_guard<LayerMutex> guard(WaitLock());
                tlsThread->Finish(dwExitCode);
            }
        }
        AbandonMutexesOwnedBy(self);
        EndCurrentThread();
    }
    auto thread = ThreadFromHandle(hThread);
    if (!thread)
        return FALSE;
    pthread_t target;
    DWORD targetId;
    {
        std::lock_guard<LayerMutex> guard(WaitLock());
        if (thread->finished_ || thread->stopRequested)
            return TRUE;
        thread->stopRequested = true;
        target = thread->thread;
        targetId = thread->threadId;
        // A thread still held suspended stops before running its routine.
        if (thread->suspendCount > 0)
            pthread_cond_signal(&thread->resumed);
        // The target cannot finish on its own from here: it is alive until it answers
        // the signal, so the pthread_t stays valid.
        int rc = pthread_kill(target, StopSignal());
        if (rc != 0) {
            thread->stopRequested = false;
            SetLastErrorFromErrno(rc);
            return FALSE;
        }
    }
    // The handler answers at once, unless the thread is stuck in the kernel.
    struct timespec acknowledgeBy;
    clock_gettime(CLOCK_REALTIME, &acknowledgeBy);
    acknowledgeBy.tv_sec += NamedObjectLockMilliseconds / 1000 + 1;
    while (sem_timedwait(&thread->stopAcknowledged_, &acknowledgeBy) != 0) {
        if (errno == ETIMEDOUT) {
            SetLastError(ERROR_TIMEOUT);  // the stop stands: the thread ends when it can
            return FALSE;
        }
    }
    {
        // A thread asleep in a wait is woken to end there.
        std::lock_guard<LayerMutex> guard(WaitLock());
        if (thread->sleepingIn)
            WakeWaiter(thread->sleepingIn);
    }
    WaitForKernelThreadEnd(*thread, NamedObjectLockMilliseconds);
    AbandonMutexesOwnedBy(targetId);
    std::lock_guard<LayerMutex> guard(WaitLock());
    thread->Finish(dwExitCode);
    return TRUE;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
    bool applied = false;
    if (!WithThreadId(hThread, [&](pid_t tid) { applied = SetThreadLevel(tid, nPriority); }))
        return FALSE;
    return applied ? TRUE : FALSE;
}

int GetThreadPriority(HANDLE hThread) {
    int level = THREAD_PRIORITY_ERROR_RETURN;
    WithThreadId(hThread, [&](pid_t tid) { level = ReadThreadLevel(tid); });
    return level;
}

DWORD_PTR SetThreadAffinityMask(HANDLE hThread, DWORD_PTR dwThreadAffinityMask) {
    DWORD_PTR previous = 0;
    if (!WithThreadId(hThread, [&](pid_t tid) { previous = SetThreadAffinity(tid, dwThreadAffinityMask); }))
        return 0;
    return previous;
}
