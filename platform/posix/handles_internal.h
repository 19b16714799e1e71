// The layer's handle table and the machinery behind waitable objects. Internal to
// platform/posix: each service derives its own kind of object from KernelObject, registers
// it to get a HANDLE, and looks it up again with a kind check.
//
// Waits: one process-wide lock (WaitLock) guards the signalled state of every waitable
// object. A waiting thread registers a Waiter (its own condition variable) on each object it
// waits on and sleeps on it; whoever makes an object signalled calls SignalWaiters() with the
// lock held, which wakes every registered waiter to re-check.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kestrune {

enum class ObjectKind : int {
    Event = 1,
    Mutex,  // unnamed and named mutexes (see sync.cpp)
    Thread,
    File,
    Find,
    SerialPort,   // serial.cpp
    FileMapping,  // mapping.cpp
    RegistryKey,  // registry.cpp
    Module,       // modules.cpp
    Other = 100,  // free for further services
};

// A pthread mutex that tracks, per thread, whether the thread is inside one of the layer's
// critical sections. TerminateThread uses that to stop a thread only outside them, so a
// terminated thread never leaves the layer's own locks held.
class LayerMutex {
public:
    LayerMutex();
    ~LayerMutex();
    LayerMutex(const LayerMutex &) = delete;
    LayerMutex &operator=(const LayerMutex &) = delete;
    void lock();
    void unlock();
    pthread_mutex_t *native() { return &mutex_; }

private:
    pthread_mutex_t mutex_;
};

// The lock that guards every waitable object's state.
LayerMutex &WaitLock();

struct Waiter;

class KernelObject : public std::enable_shared_from_this<KernelObject> {
public:
    explicit KernelObject(ObjectKind kind) : kind_(kind) {}
    virtual ~KernelObject();
    KernelObject(const KernelObject &) = delete;
    KernelObject &operator=(const KernelObject &) = delete;

    ObjectKind Kind() const { return kind_; }

    // Waitable objects override these three; all are called with WaitLock() held.
    virtual bool IsWaitable() const { return false; }
    // Whether a wait by the calling thread would be satisfied now.
    virtual bool IsSignalled() const { return false; }
    // The wait returns on this object: consume the signal (auto-reset event) or take
    // ownership (mutex). Returns WAIT_OBJECT_0 or WAIT_ABANDONED.
    virtual DWORD Consume() { return WAIT_OBJECT_0; }

    // Objects that cannot take part in the in-process wait (a cross-process named mutex)
    // wait on their own; such objects are waited on one at a time.
    virtual bool HasOwnWait() const { return false; }
    virtual DWORD OwnWait(DWORD milliseconds);

    // I/O on handles (ReadFile, WriteFile, FlushFileBuffers dispatch here). The defaults
    // fail with ERROR_INVALID_HANDLE.
    virtual BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
    virtual BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
    virtual BOOL Flush();

    // Wakes every thread waiting on this object. Call with WaitLock() held after the
    // object became signalled.
    void SignalWaiters();

private:
    friend struct WaitRegistration;
    const ObjectKind kind_;
    std::vector<Waiter *> waiters_;  // guarded by WaitLock()
};

// Registers an object and returns its new handle (NULL with ERROR_NOT_ENOUGH_MEMORY when the
// table cannot grow). Every registration gets a handle value never handed out before.
HANDLE RegisterObject(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null with ERROR_INVALID_HANDLE (pseudo-handles, closed or
// unknown handles).
std::shared_ptr<KernelObject> LookupObject(HANDLE handle);

// The object behind a handle if it is of the given kind, else null with ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> LookupObject(HANDLE handle, ObjectKind kind) {
    std::shared_ptr<KernelObject> object = LookupObject(handle);
    if (!object)
        return nullptr;
    if (object->Kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

// Removes a handle from the table; the object goes when its last reference does. False
// with ERROR_INVALID_HANDLE for an unknown handle.
bool UnregisterObject(HANDLE handle);

// The pseudo-handles of GetCurrentProcess() and GetCurrentThread().
inline HANDLE CurrentProcessPseudoHandle() {
    return (HANDLE)(LONG_PTR)-1;
}
inline HANDLE CurrentThreadPseudoHandle() {
    return (HANDLE)(LONG_PTR)-2;
}

// Errors and paths shared between the services.
DWORD Win32ErrorFromErrnoForPath(int err, const char *posixPath);
void SetLastErrorFromErrno(int err);

// The POSIX path a Windows path maps to, with the drive's folder under KESTRUNE_ROOT
// created when missing (every drive exists, as on Windows). False with the last error set.
bool MapPathForUse(const char *windowsPath, char *posixPath, size_t capacity);

// Thread termination (threads.cpp): a thread asked to stop while inside a layer critical
// section stops as it leaves the last one. ParkPending() tells a waiting thread not to take
// anything more; EndCurrentThread() ends the calling kernel thread at once, without running
// any more of its code, so the kernel abandons the named mutexes it owns.
bool ParkPending();
[[noreturn]] void EndCurrentThread();

// A thread that sleeps in a wait records its waiter (WaitLock() held, null when it stops
// sleeping), so that terminating it can wake it to end (threads.cpp; WakeWaiter in sync.cpp).
void SetCurrentThreadWait(Waiter *waiter);
void WakeWaiter(Waiter *waiter);

// Threads: abandons every unnamed mutex the given thread owns (it ended or was terminated).
void AbandonMutexesOwnedBy(DWORD threadId);

// The KESTRUNE_ROOT in force (read afresh on every call; "$HOME/.kestrune" when unset).
std::string KestruneRootPath();

// The POSIX shared-memory name ("/kestrune.<root>.<kind>.<name>") for a Win32 object name.
// Names are case-sensitive as on Windows; characters other than letters, digits, '.', '_'
// and '-' are escaped, very long names shortened with a hash. The name is scoped by
// KESTRUNE_ROOT: processes of one installation share their named objects, separate roots
// (such as concurrent test runs) do not meet. False with ERROR_FILENAME_EXCED_RANGE when
// the Win32 name is longer than MAX_PATH.
bool SharedObjectName(const char *kind, const char *win32Name, std::string &shmName);

}  // namespace kestrune

// Hooks implemented by other services.
// CreateFileA hands every "\\.\" device name to the serial service (serial.cpp).
HANDLE KestruneOpenDevice(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
// ... and every native path that names a character device.
HANDLE KestruneOpenDevicePath(const char *path, DWORD disposition, DWORD flags);
// GetProcAddress forwards every module other than the kernel32 pseudo-module here.
FARPROC KestruneModuleProcAddress(HMODULE module, LPCSTR name);
