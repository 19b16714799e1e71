// Files on POSIX. Regular files are file descriptors behind File handles; "\\.\" device
// names go to the serial service. Dispositions follow CreateFileA (CREATE_NEW ...
// TRUNCATE_EXISTING, with ERROR_ALREADY_EXISTS after CREATE_ALWAYS / OPEN_ALWAYS found
// the file). Missing files report ERROR_FILE_NOT_FOUND, a missing folder on the way
// ERROR_PATH_NOT_FOUND, as Windows tells them apart.
// Deliberate differences: share modes are not enforced (POSIX has no mandatory sharing;
// every open behaves as if shared for reading and writing), so _fsopen accepts every
// _SH_* flag as _SH_DENYNO; FILE_FLAG_OVERLAPPED and FILE_FLAG_NO_BUFFERING on regular
// files fail with ERROR_CALL_NOT_IMPLEMENTED; the creation time is the birth time where
// the file system keeps one and cannot be set (SetFileTime with a creation time fails
// with ERROR_CALL_NOT_IMPLEMENTED). _fsopen never translates line ends: the program opens
// its files in binary mode and writes CR LF itself.
// FindFirstFileA matches * and ? case-insensitively on the last component, "*.*" matches
// every name and a trailing "." matches names without an extension; results come in
// case-insensitive name order, "." and ".." first (except at a drive's root), as NTFS
// lists them. 8.3 alternate names are not produced or matched.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/handles_internal.h"

namespace kestrune {
namespace {

const ULONGLONG kUnixEpochTicks = 116444736000000000ULL;

FILETIME FileTimeFromTimespec(const struct timespec &ts) {
    ULONGLONG ticks = 0;
    if (ts.tv_sec >= 0 || static_cast<ULONGLONG>(-ts.tv_sec) * 10000000ULL <= kUnixEpochTicks)
        ticks = static_cast<ULONGLONG>(static_cast<LONGLONG>(kUnixEpochTicks) +
                                       static_cast<LONGLONG>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

struct timespec TimespecFromFileTime(const FILETIME &ft) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const LONGLONG since = static_cast<LONGLONG>(ticks) - static_cast<LONGLONG>(kUnixEpochTicks);
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(since / 10000000LL);
    LONGLONG rest = since % 10000000LL;
    if (rest < 0) {
        rest += 10000000LL;
        ts.tv_sec -= 1;
    }
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

// Birth time where the file system keeps one, else the last change.
struct timespec CreationTimeOf(const char *path, int fd, const struct stat &info) {
    struct statx extended;
    int rc = fd >= 0 ? statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &extended)
                     : statx(AT_FDCWD, path ? path : "", 0, STATX_BTIME, &extended);
    struct timespec ts;
    if (rc == 0 && (extended.stx_mask & STATX_BTIME)) {
        ts.tv_sec = extended.stx_btime.tv_sec;
        ts.tv_nsec = extended.stx_btime.tv_nsec;
        return ts;
    }
    return info.st_ctim;
}

DWORD AttributesOf(const struct stat &info) {
    if (S_ISDIR(info.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY | ((info.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (!S_ISREG(info.st_mode))
        attributes = FILE_ATTRIBUTE_DEVICE;
    return attributes;
}

class FileObject : public KernelObject {
public:
    explicit FileObject(int fd) : KernelObject(ObjectKind::File), fd_(fd) {}
    ~FileObject() override { close(fd_); }
    int Fd() const { return fd_; }

    BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) override {
        if (!buffer && toRead) {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        if (read)
            *read = 0;
        DWORD done = 0;
        off_t offset = overlapped
                           ? static_cast<off_t>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) |
                                                overlapped->Offset)
                           : 0;
        while (done < toRead) {
            ssize_t n = overlapped
                            ? pread(fd_, static_cast<char *>(buffer) + done, toRead - done, offset + done)
                            : read_(static_cast<char *>(buffer) + done, toRead - done);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (read)
                    *read = done;
                SetLastErrorFromErrno(errno);
                return FALSE;
            }
            if (n == 0)
                break;  // end of file: success with fewer bytes
            done += static_cast<DWORD>(n);
        }
        if (read)
            *read = done;
        if (overlapped) {
            overlapped->Internal = 0;
            overlapped->InternalHigh = done;
            if (done == 0 && toRead > 0) {
                SetLastError(ERROR_HANDLE_EOF);
                return FALSE;
            }
        }
        return TRUE;
    }

    BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) override {
        if (!buffer && toWrite) {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        if (written)
            *written = 0;
        DWORD done = 0;
        off_t offset = overlapped
                           ? static_cast<off_t>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) |
                                                overlapped->Offset)
                           : 0;
        while (done < toWrite) {
            const char *from = static_cast<const char *>(buffer) + done;
            ssize_t n = overlapped ? pwrite(fd_, from, toWrite - done, offset + done)
                                   : write(fd_, from, toWrite - done);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (written)
                    *written = done;
                SetLastErrorFromErrno(errno);
                return FALSE;
            }
            done += static_cast<DWORD>(n);
        }
        if (written)
            *written = done;
        if (overlapped) {
            overlapped->Internal = 0;
            overlapped->InternalHigh = done;
        }
        return TRUE;
    }

    BOOL Flush() override {
        if (fsync(fd_) != 0) {
            SetLastErrorFromErrno(errno);
            return FALSE;
        }
        return TRUE;
    }

private:
    ssize_t read_(char *to, size_t count) { return ::read(fd_, to, count); }
    const int fd_;
};

struct FoundEntry {
    std::string name;
};

class FindObject : public KernelObject {
public:
    FindObject() : KernelObject(ObjectKind::Find) {}
    std::string folder;  // POSIX folder searched, ending without '/'
    std::vector<std::string> names;
    size_t next = 0;
    LayerMutex lock;
};

bool EqualsIgnoreCase(char a, char b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c; };
    return lower(a) == lower(b);
}

// Win32 wildcard match: '*' any run, '?' one character, case-insensitive.
bool WildcardMatch(const char *pattern, const char *name) {
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || (*pattern && EqualsIgnoreCase(*pattern, *name))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == 0;
}

bool MatchesSearch(const std::string &pattern, const std::string &name) {
    if (pattern == "*" || pattern == "*.*")
        return true;
    if (pattern.size() > 1 && pattern.back() == '.' && pattern[pattern.size() - 2] != '.') {
        // "name." and "*." match names without an extension.
        if (name.find('.') != std::string::npos && name != "." && name != "..")
            return false;
        return WildcardMatch(pattern.substr(0, pattern.size() - 1).c_str(), name.c_str());
    }
    return WildcardMatch(pattern.c_str(), name.c_str());
}

bool LessIgnoreCase(const std::string &a, const std::string &b) {
    auto upper = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 0x20 : c; };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int ca = upper(static_cast<unsigned char>(a[i]));
        int cb = upper(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

bool FillFindData(const std::string &folder, const std::string &name, LPWIN32_FIND_DATAA data) {
    std::string full = folder + "/" + name;
    struct stat info;
    if (stat(full.c_str(), &info) != 0 && lstat(full.c_str(), &info) != 0)
        return false;  // vanished since the listing
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = AttributesOf(info);
    data->ftCreationTime = FileTimeFromTimespec(CreationTimeOf(full.c_str(), -1, info));
    data->ftLastAccessTime = FileTimeFromTimespec(info.st_atim);
    data->ftLastWriteTime = FileTimeFromTimespec(info.st_mtim);
    if (!S_ISDIR(info.st_mode)) {
        const ULONGLONG size = static_cast<ULONGLONG>(info.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    }
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
    return true;
}

bool NextFound(FindObject &find, LPWIN32_FIND_DATAA data) {
    std::lock_guard<LayerMutex> guard(find.lock);
    while (find.next < find.names.size()) {
        const std::string &name = find.names[find.next++];
        if (FillFindData(find.folder, name, data))
            return true;
    }
    return false;
}

bool MapOrFail(const char *windowsPath, char (&posix)[PATH_MAX]) {
    return MapPathForUse(windowsPath, posix, sizeof posix);
}

// Copies the contents, permissions and last-write time of an open source.
bool CopyContents(int from, int to) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += w;
        }
    }
}

bool CopyPosixFile(const char *source, const char *target, bool failIfExists) {
    int from = open(source, O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        SetLastError(Win32ErrorFromErrnoForPath(errno, source));
        return false;
    }
    struct stat sourceInfo;
    if (fstat(from, &sourceInfo) != 0 || S_ISDIR(sourceInfo.st_mode)) {
        close(from);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    struct stat targetInfo;
    if (stat(target, &targetInfo) == 0) {
        if (failIfExists) {
            close(from);
            SetLastError(ERROR_FILE_EXISTS);
            return false;
        }
        if (S_ISDIR(targetInfo.st_mode)) {
            close(from);
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        // Copying a file onto itself would truncate it before reading it.
        if (targetInfo.st_dev == sourceInfo.st_dev && targetInfo.st_ino == sourceInfo.st_ino) {
            close(from);
            SetLastError(ERROR_SHARING_VIOLATION);
            return false;
        }
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int to = open(target, flags, sourceInfo.st_mode & 0777);
    if (to < 0) {
        int err = errno;
        close(from);
        SetLastError(err == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrnoForPath(err, target));
        return false;
    }
    bool copied = CopyContents(from, to);
    int err = errno;
    if (copied) {
        struct timespec times[2] = {sourceInfo.st_atim, sourceInfo.st_mtim};
        futimens(to, times);
    }
    close(from);
    if (close(to) != 0 && copied) {
        copied = false;
        err = errno;
    }
    if (!copied) {
        SetLastErrorFromErrno(err);
        return false;
    }
    return true;
}

}  // namespace
}  // namespace kestrune

using namespace kestrune;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (std::strncmp(lpFileName, "\\\\.\\", 4) == 0)
        return KestruneOpenDevice(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                  dwFlagsAndAttributes);
    // A native path that names a character device (following symbolic links, as it is now) is
    // a serial port, as "\\.\COMn" is; one that does not exist yet is missing as a port is.
    if (lpFileName[0] == '/') {
        struct stat device;
        const bool exists = stat(lpFileName, &device) == 0;
        if (exists && S_ISCHR(device.st_mode))
            return KestruneOpenDevicePath(lpFileName, dwCreationDisposition, dwFlagsAndAttributes);
        if (!exists && (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) {
            SetLastError(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    }
    if (hTemplateFile || (dwFlagsAndAttributes & (FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING))) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool wantRead = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
    const bool wantWrite = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (dwCreationDisposition == TRUNCATE_EXISTING && !wantWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char path[PATH_MAX];
    if (!MapOrFail(lpFileName, path))
        return INVALID_HANDLE_VALUE;

    int flags = O_CLOEXEC | (wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY);
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        flags |= O_DSYNC;
    const mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    int fd = -1;
    bool existed = false;
    switch (dwCreationDisposition) {
        case CREATE_NEW:
            fd = open(path, flags | O_CREAT | O_EXCL, mode);
            break;
        case TRUNCATE_EXISTING:
            fd = open(path, flags | O_TRUNC);
            break;
        case OPEN_EXISTING:
            fd = open(path, flags);
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            // Open what is there, else create: tells whether it existed, even with a race.
            for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
                fd = open(path, flags);
                if (fd >= 0) {
                    existed = true;
                    if (dwCreationDisposition == CREATE_ALWAYS && ftruncate(fd, 0) != 0) {
                        int err = errno;
                        close(fd);
                        SetLastErrorFromErrno(err);
                        return INVALID_HANDLE_VALUE;
                    }
                    break;
                }
                if (errno != ENOENT)
                    break;
                fd = open(path, flags | O_CREAT | O_EXCL, mode);
                if (fd < 0 && errno != EEXIST)
                    break;
            }
            break;
    }
    if (fd < 0) {
        int err = errno;
        if (err == EEXIST)
            SetLastError(ERROR_FILE_EXISTS);
        else
            SetLastError(Win32ErrorFromErrnoForPath(err, path));
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);  // a folder is not a file
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<FileObject> file;
    try {
        file = std::make_shared<FileObject>(fd);
    } catch (...) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = RegisterObject(file);
    if (!handle)
        return INVALID_HANDLE_VALUE;
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    auto object = LookupObject(hFile);
    if (!object)
        return FALSE;
    if (!lpNumberOfBytesRead && !lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return object->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    auto object = LookupObject(hFile);
    if (!object)
        return FALSE;
    if (!lpNumberOfBytesWritten && !lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return object->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL FlushFileBuffers(HANDLE hFile) {
    auto object = LookupObject(hFile);
    if (!object)
        return FALSE;
    return object->Flush();
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto file = LookupObject<FileObject>(hFile, ObjectKind::File);
    if (!file)
        return INVALID_FILE_SIZE;
    struct stat info;
    if (fstat(file->Fd(), &info) != 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_FILE_SIZE;
    }
    const ULONGLONG size = static_cast<ULONGLONG>(info.st_size);
    if (lpFileSizeHigh)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    const DWORD low = static_cast<DWORD>(size & 0xFFFFFFFFu);
    if (low == INVALID_FILE_SIZE)
        SetLastError(NO_ERROR);  // tells a real size from a failure
    return low;
}

BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    auto file = LookupObject<FileObject>(hFile, ObjectKind::File);
    if (!file)
        return FALSE;
    if (!lpFileSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat info;
    if (fstat(file->Fd(), &info) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    lpFileSize->QuadPart = static_cast<LONGLONG>(info.st_size);
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
    auto file = LookupObject<FileObject>(hFile, ObjectKind::File);
    if (!file)
        return FALSE;
    int whence;
    switch (dwMoveMethod) {
        case FILE_BEGIN:
            whence = SEEK_SET;
            break;
        case FILE_CURRENT:
            whence = SEEK_CUR;
            break;
        case FILE_END:
            whence = SEEK_END;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    const off_t position = lseek(file->Fd(), static_cast<off_t>(liDistanceToMove.QuadPart), whence);
    if (position < 0) {
        // lseek refuses a negative result with EINVAL, which Windows reports as its own error.
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = static_cast<LONGLONG>(position);
    return TRUE;
}

BOOL SetEndOfFile(HANDLE hFile) {
    auto file = LookupObject<FileObject>(hFile, ObjectKind::File);
    if (!file)
        return FALSE;
    const off_t position = lseek(file->Fd(), 0, SEEK_CUR);
    if (position < 0 || ftruncate(file->Fd(), position) != 0) {
        // A handle opened for reading only cannot change the file, as on Windows.
        SetLastError(errno == EBADF || errno == EINVAL ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                 LPFILETIME lpLastWriteTime) {
    auto file = LookupObject<FileObject>(hFile, ObjectKind::File);
    if (!file)
        return FALSE;
    struct stat info;
    if (fstat(file->Fd(), &info) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (lpCreationTime)
        *lpCreationTime = FileTimeFromTimespec(CreationTimeOf(nullptr, file->Fd(), info));
    if (lpLastAccessTime)
        *lpLastAccessTime = FileTimeFromTimespec(info.st_atim);
    if (lpLastWriteTime)
        *lpLastWriteTime = FileTimeFromTimespec(info.st_mtim);
    return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FILETIME *lpCreationTime, const FILETIME *lpLastAccessTime,
                 const FILETIME *lpLastWriteTime) {
    auto file = LookupObject<FileObject>(hFile, ObjectKind::File);
    if (!file)
        return FALSE;
    if (lpCreationTime) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (lpLastAccessTime)
        times[0] = TimespecFromFileTime(*lpLastAccessTime);
    if (lpLastWriteTime)
        times[1] = TimespecFromFileTime(*lpLastWriteTime);
    if (futimens(file->Fd(), times) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    // A question only: no drive folder is made for it. A drive's root is a directory whether
    // or not its folder has been made yet.
    char path[PATH_MAX];
    if (!KestruneMapPath(lpFileName, path, sizeof path))
        return INVALID_FILE_ATTRIBUTES;
    struct stat info;
    if (stat(path, &info) != 0) {
        const bool driveRoot =
            ((lpFileName[0] | 0x20) >= 'a' && (lpFileName[0] | 0x20) <= 'z') && lpFileName[1] == ':' &&
            std::strspn(lpFileName + 2, "\\/") == std::strlen(lpFileName + 2) && lpFileName[2] != '\0';
        if (driveRoot && errno == ENOENT)
            return FILE_ATTRIBUTE_DIRECTORY;
        SetLastError(Win32ErrorFromErrnoForPath(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(info);
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    (void)lpSecurityAttributes;
    char path[PATH_MAX];
    if (!MapOrFail(lpPathName, path))
        return FALSE;
    if (mkdir(path, 0777) != 0) {
        int err = errno;
        SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err));
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
    char path[PATH_MAX];
    if (!MapOrFail(lpPathName, path))
        return FALSE;
    if (rmdir(path) != 0) {
        int err = errno;
        SetLastError(err == ENOTDIR ? ERROR_DIRECTORY : Win32ErrorFromErrnoForPath(err, path));
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
    char path[PATH_MAX];
    if (!MapOrFail(lpFileName, path))
        return FALSE;
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(path) != 0) {
        SetLastError(Win32ErrorFromErrnoForPath(errno, path));
        return FALSE;
    }
    return TRUE;
}

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    char source[PATH_MAX], target[PATH_MAX];
    if (!MapOrFail(lpExistingFileName, source) || !MapOrFail(lpNewFileName, target))
        return FALSE;
    return CopyPosixFile(source, target, bFailIfExists != FALSE) ? TRUE : FALSE;
}

// MoveFileA never replaces an existing target (ERROR_ALREADY_EXISTS); a file moves across
// file systems by copy and delete, a folder does not (ERROR_NOT_SAME_DEVICE).
BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    char source[PATH_MAX], target[PATH_MAX];
    if (!MapOrFail(lpExistingFileName, source) || !MapOrFail(lpNewFileName, target))
        return FALSE;
    if (renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0)
        return TRUE;
    int err = errno;
    if (err == EXDEV) {
        struct stat info;
        if (stat(source, &info) == 0 && !S_ISDIR(info.st_mode)) {
            if (!CopyPosixFile(source, target, true)) {
                if (GetLastError() == ERROR_FILE_EXISTS)
                    SetLastError(ERROR_ALREADY_EXISTS);
                return FALSE;
            }
            if (unlink(source) != 0) {
                SetLastErrorFromErrno(errno);
                return FALSE;
            }
            return TRUE;
        }
    }
    if (err == EEXIST)
        SetLastError(ERROR_ALREADY_EXISTS);
    else if (err == ENOENT && access(source, F_OK) == 0)
        SetLastError(ERROR_PATH_NOT_FOUND);  // the target's folder is missing
    else
        SetLastError(Win32ErrorFromErrnoForPath(err, source));
    return FALSE;
}

// MoveFileExA: without flags it is MoveFileA. MOVEFILE_REPLACE_EXISTING renames a file over
// an existing file in one step (rename(2)), so a reader sees the old or the new file, never
// neither; a folder in the target's place is refused with ERROR_ACCESS_DENIED, as on Windows.
// Other flags (copying across file systems, delayed or write-through moves) are not
// implemented and fail with ERROR_INVALID_PARAMETER.
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (dwFlags == 0)
        return MoveFileA(lpExistingFileName, lpNewFileName);
    if (dwFlags != MOVEFILE_REPLACE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char source[PATH_MAX], target[PATH_MAX];
    if (!MapOrFail(lpExistingFileName, source) || !MapOrFail(lpNewFileName, target))
        return FALSE;
    struct stat info;
    if (stat(target, &info) == 0 && S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (rename(source, target) == 0)
        return TRUE;
    int err = errno;
    if (err == ENOENT && access(source, F_OK) == 0)
        SetLastError(ERROR_PATH_NOT_FOUND);  // the target's folder is missing
    else
        SetLastError(Win32ErrorFromErrnoForPath(err, source));
    return FALSE;
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFileName || !lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char path[PATH_MAX];
    if (!MapOrFail(lpFileName, path))
        return INVALID_HANDLE_VALUE;
    std::string full(path);
    size_t slash = full.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : full.substr(0, slash));
    std::string pattern = slash == std::string::npos ? full : full.substr(slash + 1);
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A drive's root lists no "." and "..".
    const std::string root = KestruneRootPath();
    const bool driveRoot = folder.size() == root.size() + 2 && folder.compare(0, root.size(), root) == 0 &&
                           folder[root.size()] == '/';
    DIR *dir = opendir(folder.c_str());
    if (!dir) {
        int err = errno;
        SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<FindObject> find;
    try {
        find = std::make_shared<FindObject>();
        find->folder = folder;
        while (struct dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (driveRoot && (name == "." || name == ".."))
                continue;
            if (MatchesSearch(pattern, name))
                find->names.push_back(name);
        }
    } catch (...) {
        closedir(dir);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    closedir(dir);
    std::sort(find->names.begin(), find->names.end(), [](const std::string &a, const std::string &b) {
        const bool dotA = a == "." || a == "..", dotB = b == "." || b == "..";
        if (dotA != dotB)
            return dotA;
        return LessIgnoreCase(a, b);
    });
    if (!NextFound(*find, lpFindFileData)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = RegisterObject(find);
    if (!handle)
        return INVALID_HANDLE_VALUE;
    return handle;
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    auto find = LookupObject<FindObject>(hFindFile, ObjectKind::Find);
    if (!find)
        return FALSE;
    if (!lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!NextFound(*find, lpFindFileData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (!LookupObject<FindObject>(hFindFile, ObjectKind::Find))
        return FALSE;
    return UnregisterObject(hFindFile) ? TRUE : FALSE;
}

FILE *_fsopen(const char *filename, const char *mode, int shflag) {
    if (!filename || !mode ||
        (shflag != _SH_DENYNO && shflag != _SH_DENYRW && shflag != _SH_DENYWR && shflag != _SH_DENYRD)) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char path[PATH_MAX];
    if (!MapOrFail(filename, path)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // The C runtime's 't' (text) is the default on POSIX; strip it for fopen.
    char posixMode[16];
    size_t used = 0;
    for (const char *p = mode; *p && used + 2 < sizeof posixMode; ++p)
        if (*p != 't')
            posixMode[used++] = *p;
    posixMode[used] = 0;
    std::string withCloexec = std::string(posixMode) + "e";
    FILE *stream = std::fopen(path, withCloexec.c_str());
    if (!stream)
        SetLastError(Win32ErrorFromErrnoForPath(errno, path));
    return stream;
}
