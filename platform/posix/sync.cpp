// Events, mutexes, critical sections and the waits over them, on POSIX.
//
// In-process objects (events, unnamed mutexes, threads and other services' waitable
// objects) keep their state under one process-wide lock (WaitLock). A waiting thread
// registers a Waiter (its own condition variable on CLOCK_MONOTONIC) with every object it
// waits on and sleeps until one of them signals it or the timeout passes: no polling.
// WaitForMultipleObjects checks the objects in array order, so the lowest signalled index
// wins, and only the object it returns is consumed (auto-reset event) or acquired (mutex).
// An unnamed mutex is owned by a thread, recursive for it; when its owner thread ends
// (or is terminated) it is abandoned and the next wait on it returns WAIT_ABANDONED.
//
// Named mutexes are cross-process: a robust, process-shared, recursive pthread mutex in
// POSIX shared memory. The kernel hands a mutex whose owner died to the next locker with
// EOWNERDEAD, which is made consistent and reported as WAIT_ABANDONED. Timed waits use
// pthread_mutex_clocklock on CLOCK_MONOTONIC. ThreadSanitizer models mutexes per process and
// cannot follow one that another process released or whose owner the kernel ended, so under
// it the named mutex calls go to the C library directly, and the ordering they give is told
// to it with acquire/release annotations.
// Deliberate limits: a named mutex can only be waited on alone (in WaitForMultipleObjects
// with other handles it fails with ERROR_CALL_NOT_IMPLEMENTED); bWaitAll with more than one
// handle fails with ERROR_CALL_NOT_IMPLEMENTED; named events fail with
// ERROR_CALL_NOT_IMPLEMENTED; object names share no namespace across kinds. Who may open a
// named mutex and how long it exists follow named_objects.cpp: owner-only, and gone with the
// last handle of the last process that had it open, also when that process died.
#include <fcntl.h>
#if defined(__SANITIZE_THREAD__)
#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>
#endif
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

#include "platform/posix/handles_internal.h"
#include "platform/posix/named_objects.h"

namespace kestrune {

struct Waiter {
    pthread_cond_t cond;
    bool woken = false;
    Waiter() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~Waiter() { pthread_cond_destroy(&cond); }
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;
};

void WakeWaiter(Waiter *waiter) {
    waiter->woken = true;
    pthread_cond_signal(&waiter->cond);
}

void KernelObject::SignalWaiters() {
    for (Waiter *waiter : waiters_) {
        waiter->woken = true;
        pthread_cond_signal(&waiter->cond);
    }
}

// Registers one waiter with a set of objects for the time of a wait (WaitLock held).
struct WaitRegistration {
    Waiter &waiter;
    const std::vector<std::shared_ptr<KernelObject>> &objects;
    bool registered = false;
    WaitRegistration(Waiter &w, const std::vector<std::shared_ptr<KernelObject>> &o)
        : waiter(w), objects(o) {}
    void Register() {
        if (registered)
            return;
        for (const auto &object : objects)
            object->waiters_.push_back(&waiter);
        registered = true;
    }
    ~WaitRegistration() {
        if (!registered)
            return;
        for (const auto &object : objects) {
            auto &list = object->waiters_;
            for (auto it = list.begin(); it != list.end(); ++it)
                if (*it == &waiter) {
                    list.erase(it);
                    break;
                }
        }
    }
};

namespace {

DWORD CurrentThreadId() {
    return static_cast<DWORD>(gettid());
}

struct timespec DeadlineAfter(clockid_t clock, DWORD milliseconds) {
    struct timespec deadline;
    clock_gettime(clock, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState)
        : KernelObject(ObjectKind::Event), manualReset_(manualReset), signalled_(initialState) {}
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return signalled_; }
    DWORD Consume() override {
        if (!manualReset_)
            signalled_ = false;
        return WAIT_OBJECT_0;
    }
    void Set() {
        signalled_ = true;
        SignalWaiters();
    }
    void Reset() { signalled_ = false; }

private:
    const bool manualReset_;
    bool signalled_;  // guarded by WaitLock()
};

// Both kinds of mutex answer ReleaseMutex.
class MutexObject : public KernelObject {
public:
    MutexObject() : KernelObject(ObjectKind::Mutex) {}
    virtual BOOL Release() = 0;
};

class LocalMutex;
// Every live unnamed mutex, so that those of an ending thread can be abandoned.
std::unordered_set<LocalMutex *> &LiveLocalMutexes() {
    static auto *live = new std::unordered_set<LocalMutex *>;  // guarded by WaitLock()
    return *live;
}

// Abandons what a thread that is not one of the layer's own still owns as it ends.
struct ThreadExitGuard {
    DWORD threadId = 0;
    ~ThreadExitGuard() {
        if (threadId)
            AbandonMutexesOwnedBy(threadId);
    }
};

class LocalMutex : public MutexObject {
public:
    LocalMutex() {
        std::lock_guard<LayerMutex> guard(WaitLock());
        LiveLocalMutexes().insert(this);
    }
    ~LocalMutex() override {
        std::lock_guard<LayerMutex> guard(WaitLock());
        LiveLocalMutexes().erase(this);
    }
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return owner_ == 0 || owner_ == CurrentThreadId(); }
    DWORD Consume() override {
        const DWORD self = CurrentThreadId();
        if (owner_ == self) {
            ++count_;
            return WAIT_OBJECT_0;
        }
        static thread_local ThreadExitGuard exitGuard;
        exitGuard.threadId = self;
        owner_ = self;
        count_ = 1;
        if (abandoned_) {
            abandoned_ = false;
            return WAIT_ABANDONED;
        }
        return WAIT_OBJECT_0;
    }
    BOOL Release() override {
        std::lock_guard<LayerMutex> guard(WaitLock());
        if (owner_ != CurrentThreadId()) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--count_ == 0) {
            owner_ = 0;
            SignalWaiters();
        }
        return TRUE;
    }
    // WaitLock() held.
    void AbandonIfOwnedBy(DWORD threadId) {
        if (owner_ != threadId)
            return;
        owner_ = 0;
        count_ = 0;
        abandoned_ = true;
        SignalWaiters();
    }

private:
    DWORD owner_ = 0;  // guarded by WaitLock()
    unsigned count_ = 0;
    bool abandoned_ = false;
};

// The shared memory of one named mutex, mapped once per process. Who may open it and how
// long it exists is the business of named_objects.cpp: the name goes with its last holder,
// also when that holder died.
struct SharedMutexBlock {
    uint32_t magic;
    uint32_t owner;  // kernel tid of the owning thread, 0 when free (atomic access)
    uint32_t depth;  // recursion depth, touched only by the owner
    uint32_t reserved;
    pthread_mutex_t mutex;
};
const uint32_t kSharedMutexMagic = 0x4B4D5458;  // "KMTX"

#if defined(__SANITIZE_THREAD__)
struct LibcMutexCalls {
    int (*lock)(pthread_mutex_t *);
    int (*trylock)(pthread_mutex_t *);
    int (*clocklock)(pthread_mutex_t *, clockid_t, const struct timespec *);
    int (*unlock)(pthread_mutex_t *);
};
const LibcMutexCalls &Libc() {
    static const LibcMutexCalls calls = [] {
        LibcMutexCalls found = {};
        void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        found.lock = reinterpret_cast<int (*)(pthread_mutex_t *)>(dlsym(libc, "pthread_mutex_lock"));
        found.trylock = reinterpret_cast<int (*)(pthread_mutex_t *)>(dlsym(libc, "pthread_mutex_trylock"));
        found.clocklock = reinterpret_cast<int (*)(pthread_mutex_t *, clockid_t, const struct timespec *)>(
            dlsym(libc, "pthread_mutex_clocklock"));
        found.unlock = reinterpret_cast<int (*)(pthread_mutex_t *)>(dlsym(libc, "pthread_mutex_unlock"));
        return found;
    }();
    return calls;
}
int Acquired(pthread_mutex_t *mutex, int rc) {
    if (rc == 0 || rc == EOWNERDEAD)
        __tsan_acquire(mutex);
    return rc;
}
int SharedLock(pthread_mutex_t *mutex) {
    return Acquired(mutex, Libc().lock(mutex));
}
int SharedTryLock(pthread_mutex_t *mutex) {
    return Acquired(mutex, Libc().trylock(mutex));
}
int SharedClockLock(pthread_mutex_t *mutex, const struct timespec *deadline) {
    return Acquired(mutex, Libc().clocklock(mutex, CLOCK_MONOTONIC, deadline));
}
int SharedUnlock(pthread_mutex_t *mutex) {
    __tsan_release(mutex);
    return Libc().unlock(mutex);
}
#else
int SharedLock(pthread_mutex_t *mutex) {
    return pthread_mutex_lock(mutex);
}
int SharedTryLock(pthread_mutex_t *mutex) {
    return pthread_mutex_trylock(mutex);
}
int SharedClockLock(pthread_mutex_t *mutex, const struct timespec *deadline) {
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
}
int SharedUnlock(pthread_mutex_t *mutex) {
    return pthread_mutex_unlock(mutex);
}
#endif

SharedMutexBlock *MapBlock(int fd) {
    void *mapped = mmap(nullptr, sizeof(SharedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    return static_cast<SharedMutexBlock *>(mapped);
}

class NamedMutexShared {
public:
    NamedMutexShared(std::string shmName, int fd, SharedMutexBlock *block)
        : shmName_(std::move(shmName)), fd_(fd), block_(block) {}
    ~NamedMutexShared() {
        munmap(block_, sizeof(SharedMutexBlock));
        CloseNamedObject(fd_, shmName_);
    }
    NamedMutexShared(const NamedMutexShared &) = delete;
    NamedMutexShared &operator=(const NamedMutexShared &) = delete;
    pthread_mutex_t *Mutex() { return &block_->mutex; }
    SharedMutexBlock *Block() { return block_; }

    // Opens (or with create, creates) the shared mutex. existed tells whether it was there;
    // a new one is owned by the calling thread when initialOwner is set, before any other
    // process can open it.
    static std::shared_ptr<NamedMutexShared> Open(const std::string &shmName, bool create, bool initialOwner,
                                                  bool &existed) {
        SharedMutexBlock *block = nullptr;
        auto init = [](int fd) {
            SharedMutexBlock *fresh = MapBlock(fd);
            if (!fresh)
                return false;
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
            pthread_mutex_init(&fresh->mutex, &attr);
            pthread_mutexattr_destroy(&attr);
            fresh->magic = kSharedMutexMagic;
            munmap(fresh, sizeof(SharedMutexBlock));
            return true;
        };
        // The creator maps the new mutex for good and, when asked, takes it at once.
        auto claim = [&](int fd) {
            block = MapBlock(fd);
            if (!block)
                return false;
            if (initialOwner) {
                if (SharedTryLock(&block->mutex) != 0) {
                    munmap(block, sizeof(SharedMutexBlock));
                    block = nullptr;
                    SetLastError(ERROR_INVALID_HANDLE);
                    return false;
                }
                __atomic_store_n(&block->owner, static_cast<uint32_t>(gettid()), __ATOMIC_RELAXED);
                block->depth = 1;
            }
            return true;
        };
        NamedObjectFile file;
        if (!OpenNamedObject(shmName, create, true, sizeof(SharedMutexBlock), init, claim, file))
            return nullptr;
        existed = file.existed;
        if (!block) {
            if (file.size < static_cast<off_t>(sizeof(SharedMutexBlock))) {
                CloseNamedObject(file.fd, shmName);
                SetLastError(ERROR_INVALID_HANDLE);  // another kind of object under this name
                return nullptr;
            }
            block = MapBlock(file.fd);
            if (!block) {
                const DWORD error = GetLastError();
                CloseNamedObject(file.fd, shmName);
                SetLastError(error);
                return nullptr;
            }
            if (block->magic != kSharedMutexMagic) {
                munmap(block, sizeof(SharedMutexBlock));
                CloseNamedObject(file.fd, shmName);
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
        }
        try {
            return std::make_shared<NamedMutexShared>(shmName, file.fd, block);
        } catch (...) {
            munmap(block, sizeof(SharedMutexBlock));
            CloseNamedObject(file.fd, shmName);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }

private:
    const std::string shmName_;
    const int fd_;
    SharedMutexBlock *const block_;
};

// The named mutexes this process has open, so that every handle to one name in this
// process shares one mapping.
struct NamedMutexRegistry {
    LayerMutex lock;
    std::map<std::string, std::weak_ptr<NamedMutexShared>> open;
};
NamedMutexRegistry &NamedMutexes() {
    static auto *registry = new NamedMutexRegistry;
    return *registry;
}

class NamedMutex : public MutexObject {
public:
    explicit NamedMutex(std::shared_ptr<NamedMutexShared> shared) : shared_(std::move(shared)) {}
    bool IsWaitable() const override { return true; }
    bool HasOwnWait() const override { return true; }
    DWORD OwnWait(DWORD milliseconds) override {
        pthread_mutex_t *mutex = shared_->Mutex();
        int rc;
        if (milliseconds == INFINITE) {
            rc = SharedLock(mutex);
        } else if (milliseconds == 0) {
            rc = SharedTryLock(mutex);
        } else {
            struct timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, milliseconds);
            rc = SharedClockLock(mutex, &deadline);
        }
        SharedMutexBlock *block = shared_->Block();
        const uint32_t self = static_cast<uint32_t>(gettid());
        switch (rc) {
            case 0:
                if (__atomic_load_n(&block->owner, __ATOMIC_RELAXED) == self) {
                    ++block->depth;
                } else {
                    __atomic_store_n(&block->owner, self, __ATOMIC_RELAXED);
                    block->depth = 1;
                }
                return WAIT_OBJECT_0;
            case EOWNERDEAD:
                pthread_mutex_consistent(mutex);
                __atomic_store_n(&block->owner, self, __ATOMIC_RELAXED);
                block->depth = 1;
                return WAIT_ABANDONED;
            case EBUSY:
            case ETIMEDOUT:
                return WAIT_TIMEOUT;
            case EAGAIN:  // recursion limit
                SetLastError(ERROR_TOO_MANY_POSTS);
                return WAIT_FAILED;
            default:
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
        }
    }
    BOOL Release() override {
        // Only the owner may release: checked here rather than left to the unlock.
        SharedMutexBlock *block = shared_->Block();
        if (__atomic_load_n(&block->owner, __ATOMIC_RELAXED) != static_cast<uint32_t>(gettid())) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--block->depth == 0)
            __atomic_store_n(&block->owner, 0u, __ATOMIC_RELAXED);
        int rc = SharedUnlock(shared_->Mutex());
        if (rc == 0)
            return TRUE;
        SetLastError(rc == EPERM ? ERROR_NOT_OWNER : Win32ErrorFromErrno(rc));
        return FALSE;
    }

private:
    std::shared_ptr<NamedMutexShared> shared_;
};

// "Global\" and "Local\" select a session namespace on Windows; here there is one.
const char *StripNamespace(const char *name) {
    if (std::strncmp(name, "Global\\", 7) == 0)
        return name + 7;
    if (std::strncmp(name, "Local\\", 6) == 0)
        return name + 6;
    return name;
}

HANDLE OpenNamedMutex(const char *name, bool create, bool initialOwner) {
    name = StripNamespace(name);
    if (std::strchr(name, '\\')) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    std::string shmName;
    if (!SharedObjectName("mutex", name, shmName))
        return nullptr;
    std::shared_ptr<NamedMutexShared> shared;
    bool existed = true;
    {
        NamedMutexRegistry &registry = NamedMutexes();
        std::lock_guard<LayerMutex> guard(registry.lock);
        auto found = registry.open.find(shmName);
        if (found != registry.open.end())
            shared = found->second.lock();
        if (!shared) {
            shared = NamedMutexShared::Open(shmName, create, initialOwner, existed);
            if (!shared)
                return nullptr;
            try {
                registry.open[shmName] = shared;
            } catch (...) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
        }
    }
    std::shared_ptr<NamedMutex> mutex;
    try {
        mutex = std::make_shared<NamedMutex>(shared);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The creator took a new mutex already when asked to; an existing mutex ignores
    // bInitialOwner.
    HANDLE handle = RegisterObject(mutex);
    if (!handle)
        return nullptr;
    SetLastError(existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace

void AbandonMutexesOwnedBy(DWORD threadId) {
    std::lock_guard<LayerMutex> guard(WaitLock());
    for (LocalMutex *mutex : LiveLocalMutexes())
        mutex->AbandonIfOwnedBy(threadId);
}

}  // namespace kestrune

using namespace kestrune;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
    (void)lpEventAttributes;
    if (lpName && *lpName) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    std::shared_ptr<EventObject> event;
    try {
        event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = RegisterObject(event);
    if (handle)
        SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE hEvent) {
    auto event = LookupObject<EventObject>(hEvent, ObjectKind::Event);
    if (!event)
        return FALSE;
    std::lock_guard<LayerMutex> guard(WaitLock());
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto event = LookupObject<EventObject>(hEvent, ObjectKind::Event);
    if (!event)
        return FALSE;
    std::lock_guard<LayerMutex> guard(WaitLock());
    event->Reset();
    return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    (void)lpMutexAttributes;
    if (lpName && *lpName)
        return OpenNamedMutex(lpName, true, bInitialOwner != FALSE);
    std::shared_ptr<LocalMutex> mutex;
    try {
        mutex = std::make_shared<LocalMutex>();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (bInitialOwner) {
        std::lock_guard<LayerMutex> guard(WaitLock());
        mutex->Consume();
    }
    HANDLE handle = RegisterObject(mutex);
    if (handle)
        SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    if (!lpName || !*lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return OpenNamedMutex(lpName, false, false);
}

BOOL ReleaseMutex(HANDLE hMutex) {
    auto mutex = LookupObject<MutexObject>(hMutex, ObjectKind::Mutex);
    if (!mutex)
        return FALSE;
    return mutex->Release();
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (bWaitAll && nCount > 1) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<KernelObject> object = LookupObject(lpHandles[i]);
        if (!object)
            return WAIT_FAILED;
        if (!object->IsWaitable()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (object->HasOwnWait() && nCount > 1) {
            SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    if (objects[0]->HasOwnWait())
        return objects[0]->OwnWait(dwMilliseconds);

    const bool timed = dwMilliseconds != INFINITE;
    const struct timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timed ? dwMilliseconds : 0);
    Waiter waiter;
    std::unique_lock<LayerMutex> lock(WaitLock());
    WaitRegistration registration(waiter, objects);
    // Known to TerminateThread while it sleeps here, forgotten before the lock goes.
    struct SleepRecord {
        explicit SleepRecord(Waiter &w) { SetCurrentThreadWait(&w); }
        ~SleepRecord() { SetCurrentThreadWait(nullptr); }
    } sleeping(waiter);
    for (;;) {
        if (ParkPending())
            return WAIT_FAILED;  // the thread was terminated: it stops as the lock goes
        for (DWORD i = 0; i < nCount; ++i) {
            if (objects[i]->IsSignalled()) {
                DWORD result = objects[i]->Consume();
                return (result == WAIT_ABANDONED ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
            }
        }
        if (dwMilliseconds == 0)
            return WAIT_TIMEOUT;
        registration.Register();
        waiter.woken = false;
        while (!waiter.woken && !ParkPending()) {
            int rc = timed ? pthread_cond_timedwait(&waiter.cond, WaitLock().native(), &deadline)
                           : pthread_cond_wait(&waiter.cond, WaitLock().native());
            if (rc == ETIMEDOUT)
                break;
        }
        if (!waiter.woken && !ParkPending()) {
            // Timed out: one last look, then give up.
            for (DWORD i = 0; i < nCount; ++i) {
                if (objects[i]->IsSignalled()) {
                    DWORD result = objects[i]->Consume();
                    return (result == WAIT_ABANDONED ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
                }
            }
            return WAIT_TIMEOUT;
        }
    }
}

// A critical section is a recursive pthread mutex.
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    auto *mutex = new pthread_mutex_t;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    lpCriticalSection->Impl = mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(static_cast<pthread_mutex_t *>(lpCriticalSection->Impl));
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t *>(lpCriticalSection->Impl));
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    auto *mutex = static_cast<pthread_mutex_t *>(lpCriticalSection->Impl);
    if (!mutex)
        return;
    pthread_mutex_destroy(mutex);
    delete mutex;
    lpCriticalSection->Impl = nullptr;
}
