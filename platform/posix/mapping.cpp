// Named file mappings on POSIX.
//
// A mapping backed by the paging file (hFile INVALID_HANDLE_VALUE) is a POSIX shared-memory
// object. A named mapping uses the layer's shared-object name of kind "mapping", scoped by
// KESTRUNE_ROOT like every named object, so every process of one installation that names it
// shares its bytes ("Global\" and "Local\" select the same, single namespace); an unnamed
// one is an object unlinked at once, private to its handle.
//
// Lifetime follows Win32: the name exists while any process holds a handle or a view of it.
// Each open holds a shared flock on its descriptor; whoever drops the last one (a close that
// can take the lock exclusively) removes the name. A process that dies drops its locks with
// it, so an object left without holders is stale: creating that name starts from fresh zero
// bytes, and opening it fails with ERROR_FILE_NOT_FOUND. Create, open and the last close of
// every process run under one machine-wide lock file, so these steps never interleave.
//
// Deliberate differences: mappings of real files (hFile other than INVALID_HANDLE_VALUE) and
// copy-on-write protections fail with ERROR_CALL_NOT_IMPLEMENTED; mapping names live in their
// own namespace (a mutex and a mapping may share a name); UnmapViewOfFile takes the view's
// base address only.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/handles_internal.h"

#ifndef ERROR_INVALID_ADDRESS
#define ERROR_INVALID_ADDRESS 487L
#endif
#ifndef ERROR_MAPPED_ALIGNMENT
#define ERROR_MAPPED_ALIGNMENT 1132L
#endif

namespace {

using kestrune::KernelObject;
using kestrune::ObjectKind;

constexpr char GuardName[] = "/kestrune-map.lock";
// Views start on multiples of the Windows allocation granularity.
constexpr ULONGLONG AllocationGranularity = 65536;

// The shared-memory object name of a mapping name; false with the last error set.
bool ObjectName(const char *name, std::string &result) {
    if (strncmp(name, "Global\\", 7) == 0)
        name += 7;
    else if (strncmp(name, "Local\\", 6) == 0)
        name += 6;
    if (strchr(name, '\\')) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return kestrune::SharedObjectName("mapping", name, result);
}

// Holds the machine-wide lock of the mapping service for one create, open or last close.
class Guard {
public:
    Guard() {
        fd_ = shm_open(GuardName, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            fchmod(fd_, 0666);
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~Guard() {
        if (fd_ >= 0)
            close(fd_);  // drops the lock
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

int LockShared(int fd) {
    int result;
    while ((result = flock(fd, LOCK_SH)) != 0 && errno == EINTR) {
    }
    return result;
}

// True when no other descriptor of any process holds the object.
bool NobodyElseHolds(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

class Mapping : public KernelObject {
public:
    Mapping(int fd, std::string objectName, ULONGLONG size, bool writable)
        : KernelObject(ObjectKind::FileMapping), Fd(fd), ObjectName(std::move(objectName)), Size(size),
          Writable(writable) {}
    ~Mapping() override {
        if (Fd < 0)
            return;
        if (!ObjectName.empty()) {
            Guard guard;
            if (guard.Held() && NobodyElseHolds(Fd))
                shm_unlink(ObjectName.c_str());
        }
        close(Fd);
    }

    const int Fd;
    const std::string ObjectName;  // empty for an unnamed mapping
    const ULONGLONG Size;
    const bool Writable;
};

// A view keeps its mapping alive, as on Windows, until it is unmapped.
struct View {
    std::shared_ptr<Mapping> Source;
    size_t Length;
};

std::mutex &ViewsLock() {
    static std::mutex lock;
    return lock;
}

std::map<uintptr_t, View> &Views() {
    static std::map<uintptr_t, View> views;
    return views;
}

HANDLE Register(int fd, std::string objectName, ULONGLONG size, bool writable, DWORD lastError) {
    std::shared_ptr<Mapping> mapping;
    try {
        mapping = std::make_shared<Mapping>(fd, std::move(objectName), size, writable);
    } catch (...) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = kestrune::RegisterObject(mapping);
    if (handle)
        SetLastError(lastError);
    return handle;
}

}  // namespace

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect, DWORD dwMaximumSizeHigh,
                          DWORD dwMaximumSizeLow, LPCSTR lpName) {
    if (hFile != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    const DWORD page = flProtect & 0xFFu;
    const DWORD section = flProtect & ~0xFFu;
    if (section != 0 && section != SEC_COMMIT) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (page == PAGE_WRITECOPY) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (page != PAGE_READONLY && page != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const ULONGLONG size = (static_cast<ULONGLONG>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    if (size == 0 || size > static_cast<ULONGLONG>(INT64_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool writable = page == PAGE_READWRITE;

    if (!lpName || !*lpName) {
        char unique[64];
        static std::atomic<unsigned> counter{0};
        snprintf(unique, sizeof unique, "/kestrune-anon-%d-%u", static_cast<int>(getpid()), counter++);
        int fd = shm_open(unique, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            kestrune::SetLastErrorFromErrno(errno);
            return nullptr;
        }
        shm_unlink(unique);
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            int err = errno;
            close(fd);
            SetLastError(err == EFBIG || err == EINVAL ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(err));
            return nullptr;
        }
        return Register(fd, std::string(), size, writable, ERROR_SUCCESS);
    }

    std::string objectName;
    if (!ObjectName(lpName, objectName))
        return nullptr;
    Guard guard;
    if (!guard.Held()) {
        kestrune::SetLastErrorFromErrno(errno);
        return nullptr;
    }

    bool existed = false;
    ULONGLONG actualSize = size;
    int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            int err = errno;
            close(fd);
            shm_unlink(objectName.c_str());
            SetLastError(err == EFBIG || err == EINVAL ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(err));
            return nullptr;
        }
    } else if (errno == EEXIST) {
        fd = shm_open(objectName.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) {
            kestrune::SetLastErrorFromErrno(errno);
            return nullptr;
        }
        if (NobodyElseHolds(fd)) {
            // Left behind by a process that ended without closing it: it starts afresh.
            if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
                int err = errno;
                close(fd);
                SetLastError(Win32ErrorFromErrno(err));
                return nullptr;
            }
        } else {
            existed = true;
            struct stat info;
            if (fstat(fd, &info) == 0)
                actualSize = static_cast<ULONGLONG>(info.st_size);
        }
    } else {
        kestrune::SetLastErrorFromErrno(errno);
        return nullptr;
    }
    if (LockShared(fd) != 0) {
        int err = errno;
        close(fd);
        SetLastError(Win32ErrorFromErrno(err));
        return nullptr;
    }
    return Register(fd, objectName, actualSize, writable, existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
}

HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
    if (!lpName || !*lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string objectName;
    if (!ObjectName(lpName, objectName))
        return nullptr;
    const bool writable = (dwDesiredAccess & FILE_MAP_WRITE) != 0;

    Guard guard;
    if (!guard.Held()) {
        kestrune::SetLastErrorFromErrno(errno);
        return nullptr;
    }
    int fd = shm_open(objectName.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno));
        return nullptr;
    }
    if (NobodyElseHolds(fd)) {
        // Its last holder is gone, so on Windows the object would be gone too.
        shm_unlink(objectName.c_str());
        close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    struct stat info;
    if (LockShared(fd) != 0 || fstat(fd, &info) != 0) {
        int err = errno;
        close(fd);
        SetLastError(Win32ErrorFromErrno(err));
        return nullptr;
    }
    return Register(fd, objectName, static_cast<ULONGLONG>(info.st_size), writable, ERROR_SUCCESS);
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    std::shared_ptr<Mapping> mapping =
        kestrune::LookupObject<Mapping>(hFileMappingObject, ObjectKind::FileMapping);
    if (!mapping)
        return nullptr;

    int protection;
    int flags = MAP_SHARED;
    // FILE_MAP_COPY shares its bit with FILE_MAP_ALL_ACCESS: copy-on-write is that bit alone.
    if (dwDesiredAccess == FILE_MAP_COPY) {
        protection = PROT_READ | PROT_WRITE;
        flags = MAP_PRIVATE;
    } else if (dwDesiredAccess & FILE_MAP_WRITE) {
        if (!mapping->Writable) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        protection = PROT_READ | PROT_WRITE;
    } else if (dwDesiredAccess & FILE_MAP_READ) {
        protection = PROT_READ;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    const ULONGLONG offset = (static_cast<ULONGLONG>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    if (offset % AllocationGranularity != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    if (offset >= mapping->Size) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ULONGLONG length = dwNumberOfBytesToMap ? static_cast<ULONGLONG>(dwNumberOfBytesToMap) : mapping->Size - offset;
    if (length > mapping->Size - offset) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }

    void *address = mmap(nullptr, static_cast<size_t>(length), protection, flags, mapping->Fd,
                         static_cast<off_t>(offset));
    if (address == MAP_FAILED) {
        SetLastError(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(errno));
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> lock(ViewsLock());
        Views()[reinterpret_cast<uintptr_t>(address)] = View{mapping, static_cast<size_t>(length)};
    } catch (...) {
        munmap(address, static_cast<size_t>(length));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return address;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
    std::shared_ptr<Mapping> source;  // released after the lock, possibly closing the mapping
    {
        std::lock_guard<std::mutex> lock(ViewsLock());
        auto found = Views().find(reinterpret_cast<uintptr_t>(lpBaseAddress));
        if (found == Views().end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        munmap(const_cast<void *>(lpBaseAddress), found->second.Length);
        source = std::move(found->second.Source);
        Views().erase(found);
    }
    return TRUE;
}
