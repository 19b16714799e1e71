// Handles on POSIX: a process-wide table maps pointer-sized handle values onto reference-
// counted KernelObjects. Values are multiples of 4 counted upwards from 0x1000 and never
// reused, so a stale handle fails with ERROR_INVALID_HANDLE instead of reaching another
// object (Windows recycles values; a program relying on that would be wrong anyway).
// CloseHandle removes the table entry; the object lives on while a wait or a running
// operation still holds it. The pseudo-handles of the current process and thread are
// accepted by CloseHandle as no-ops, as on Windows.
#include "platform/posix/handles_internal.h"

#include <csignal>
#include <mutex>
#include <unordered_map>

namespace kestrune {

namespace {
// How deep the thread is inside the layer's critical sections, and whether it was asked to
// stop (TerminateThread) while inside. Plain TLS words, read by the stop signal handler.
thread_local volatile sig_atomic_t tlsLayerDepth = 0;
thread_local volatile sig_atomic_t tlsParkPending = 0;
}  // namespace

void MarkParkPendingFromSignal() {
    tlsParkPending = 1;
}
bool InsideLayerCriticalSection() {
    return tlsLayerDepth > 0;
}
bool ParkPending() {
    return tlsParkPending != 0;
}

LayerMutex::LayerMutex() {
    pthread_mutex_init(&mutex_, nullptr);
}
LayerMutex::~LayerMutex() {
    pthread_mutex_destroy(&mutex_);
}

void LayerMutex::lock() {
    // Counted before taking the lock: a stop request arriving in between is deferred.
    tlsLayerDepth = tlsLayerDepth + 1;
    pthread_mutex_lock(&mutex_);
}

void LayerMutex::unlock() {
    pthread_mutex_unlock(&mutex_);
    tlsLayerDepth = tlsLayerDepth - 1;
    if (tlsLayerDepth == 0 && tlsParkPending)
        EndCurrentThread();
}

LayerMutex &WaitLock() {
    static LayerMutex *lock = new LayerMutex;  // never destroyed: threads may outlive exit
    return *lock;
}

KernelObject::~KernelObject() = default;

DWORD KernelObject::OwnWait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL KernelObject::Read(LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL KernelObject::Write(LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL KernelObject::Flush() {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

namespace {
struct HandleTable {
    LayerMutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x1000;
};

HandleTable &Table() {
    static HandleTable *table = new HandleTable;  // never destroyed: threads may outlive exit
    return *table;
}
}  // namespace

HANDLE RegisterObject(std::shared_ptr<KernelObject> object) {
    if (!object) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleTable &table = Table();
    std::lock_guard<LayerMutex> guard(table.lock);
    uintptr_t value = table.next;
    try {
        table.objects.emplace(value, std::move(object));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    table.next += 4;
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupObject(HANDLE handle) {
    HandleTable &table = Table();
    {
        std::lock_guard<LayerMutex> guard(table.lock);
        auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (found != table.objects.end())
            return found->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool UnregisterObject(HANDLE handle) {
    std::shared_ptr<KernelObject> removed;  // released after the table lock
    HandleTable &table = Table();
    {
        std::lock_guard<LayerMutex> guard(table.lock);
        auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (found == table.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        removed = std::move(found->second);
        table.objects.erase(found);
    }
    return true;
}

}  // namespace kestrune

BOOL CloseHandle(HANDLE hObject) {
    if (hObject == kestrune::CurrentProcessPseudoHandle() || hObject == kestrune::CurrentThreadPseudoHandle())
        return TRUE;
    return kestrune::UnregisterObject(hObject) ? TRUE : FALSE;
}
