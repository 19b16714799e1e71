// Named file mappings on POSIX.
//
// A mapping backed by the paging file (hFile INVALID_HANDLE_VALUE) is a POSIX shared-memory
// object. A named mapping uses the layer's shared-object name of kind "mapping", scoped by
// KESTRUNE_ROOT like every named object, so every process of one installation that names it
// shares its bytes ("Global\" and "Local\" select the same, single namespace).
//
// Who may open a named mapping and how long it exists follow named_objects.cpp, as for named
// mutexes: created mode 0600 (0660 in KESTRUNE_SHARED_GROUP), never open to others; another
// user's mapping fails with ERROR_ACCESS_DENIED; the name exists while any process holds a
// handle or a view, and one whose holders died is removed at the next create or open, so a
// new object always starts from zero bytes. An unnamed mapping is a memfd, private to its
// handle and never visible in /dev/shm.
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
#include "platform/posix/named_objects.h"

#ifndef ERROR_INVALID_ADDRESS
#define ERROR_INVALID_ADDRESS 487L
#endif
#ifndef ERROR_MAPPED_ALIGNMENT
#define ERROR_MAPPED_ALIGNMENT 1132L
#endif

namespace {

using kestrune::KernelObject;
using kestrune::ObjectKind;

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

class Mapping : public KernelObject {
public:
    Mapping(int fd, std::string objectName, ULONGLONG size, bool writable)
        : KernelObject(ObjectKind::FileMapping),
          Fd(fd),
          ObjectName(std::move(objectName)),
          Size(size),
          Writable(writable) {}
    ~Mapping() override {
        if (Fd < 0)
            return;
        if (ObjectName.empty())
            close(Fd);
        else
            kestrune::CloseNamedObject(Fd, ObjectName);
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
        mapping = std::make_shared<Mapping>(fd, objectName, size, writable);
    } catch (...) {
        if (objectName.empty())
            close(fd);
        else
            kestrune::CloseNamedObject(fd, objectName);
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
        int fd = memfd_create("kestrune-anonymous-mapping", MFD_CLOEXEC);
        if (fd < 0) {
            kestrune::SetLastErrorFromErrno(errno);
            return nullptr;
        }
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
    kestrune::NamedObjectFile file;
    if (!kestrune::OpenNamedObject(objectName, true, true, static_cast<off_t>(size), nullptr, nullptr, file))
        return nullptr;
    return Register(file.fd, objectName, static_cast<ULONGLONG>(file.size), writable,
                    file.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
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
    kestrune::NamedObjectFile file;
    if (!kestrune::OpenNamedObject(objectName, false, writable, 0, nullptr, nullptr, file))
        return nullptr;
    return Register(file.fd, objectName, static_cast<ULONGLONG>(file.size), writable, ERROR_SUCCESS);
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
    ULONGLONG length =
        dwNumberOfBytesToMap ? static_cast<ULONGLONG>(dwNumberOfBytesToMap) : mapping->Size - offset;
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
