// Paths on POSIX. Product code uses Windows paths; a drive path "X:\a\b" maps to
// "$KESTRUNE_ROOT/x/a/b" (drive letter lower-cased, backslashes become slashes).
// KESTRUNE_ROOT is read on every call; when unset the root is "$HOME/.kestrune" (the
// user's home from the password database when HOME is unset too). A drive's folder is
// created on first use: every drive letter exists.
// Other forms: a relative path stays relative (to the working folder); a path rooted
// without a drive ("\a\b") is on drive C; an absolute POSIX path ("/tmp/x", as the tools
// and GetModuleFileNameA produce, or a station's native data directory such as
// "/srv/flux/data") stays where it is: only the backslashes the program joins names on
// become slashes, so "/srv/flux/data\kestrune.pid" is "/srv/flux/data/kestrune.pid".
// UNC paths ("\\server\share") and device names ("\\.\COM1") are not file paths and fail
// with ERROR_BAD_NETPATH and ERROR_INVALID_NAME.
// Deliberately not reproduced: case-insensitive names (the POSIX file system decides;
// wildcard search is case-insensitive), stripping of trailing dots and spaces, 8.3 names.
// As with the Windows ANSI calls, a Windows path of MAX_PATH characters or more fails
// with ERROR_FILENAME_EXCED_RANGE.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/handles_internal.h"

namespace kestrune {

std::string KestruneRootPath() {
    const char *root = std::getenv("KESTRUNE_ROOT");
    if (root && *root)
        return root;
    const char *home = std::getenv("HOME");
    std::string base;
    if (home && *home) {
        base = home;
    } else {
        struct passwd entry, *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
            base = found->pw_dir;
        else
            base = "/tmp";
    }
    return base + "/.kestrune";
}

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Maps the path; driveFolder receives "$ROOT/x" for drive paths (empty otherwise).
bool MapPath(const char *windowsPath, char *posixPath, size_t capacity, std::string *driveFolder) {
    if (!windowsPath || !posixPath || capacity == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const size_t length = std::strlen(windowsPath);
    std::string mapped;
    if (windowsPath[0] == '/') {
        if (length >= PATH_MAX) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        mapped = windowsPath;
        for (char &c : mapped)
            if (c == '\\')
                c = '/';
    } else {
        if (length >= MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        if (length == 0) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        const char *rest = windowsPath;
        char drive = 0;
        if (IsSeparator(windowsPath[0]) && IsSeparator(windowsPath[1])) {
            const bool device =
                (windowsPath[2] == '.' || windowsPath[2] == '?') && IsSeparator(windowsPath[3]);
            SetLastError(device ? ERROR_INVALID_NAME : ERROR_BAD_NETPATH);
            return false;
        }
        if (IsDriveLetter(windowsPath[0]) && windowsPath[1] == ':') {
            drive = static_cast<char>(windowsPath[0] | 0x20);
            rest = windowsPath + 2;
        } else if (IsSeparator(windowsPath[0])) {
            drive = 'c';
        }
        if (drive) {
            std::string folder = KestruneRootPath() + "/" + drive;
            if (driveFolder)
                *driveFolder = folder;
            mapped = folder;
            if (*rest && !IsSeparator(*rest))
                mapped += '/';  // "C:name" is relative to the drive's root here
        }
        for (const char *p = rest; *p; ++p) {
            if (*p == ':') {  // only a drive may carry a colon (no streams)
                SetLastError(ERROR_INVALID_NAME);
                return false;
            }
            mapped += IsSeparator(*p) ? '/' : *p;
        }
    }
    if (mapped.size() + 1 > capacity) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(posixPath, mapped.c_str(), mapped.size() + 1);
    return true;
}

bool MakeFolder(const std::string &path) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST)
        return true;
    return false;
}

}  // namespace

bool MapPathForUse(const char *windowsPath, char *posixPath, size_t capacity) {
    std::string driveFolder;
    if (!MapPath(windowsPath, posixPath, capacity, &driveFolder))
        return false;
    if (!driveFolder.empty()) {
        struct stat info;
        if (stat(driveFolder.c_str(), &info) != 0) {
            // Root first (one level only: the root's parent must exist), then the drive.
            const std::string root = driveFolder.substr(0, driveFolder.size() - 2);
            if (!MakeFolder(root) || !MakeFolder(driveFolder)) {
                SetLastErrorFromErrno(errno);
                return false;
            }
        }
    }
    return true;
}

bool SharedObjectName(const char *kind, const char *win32Name, std::string &shmName) {
    const size_t length = std::strlen(win32Name);
    if (length > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    auto fnv = [](const char *text, uint64_t hash) {
        for (const char *p = text; *p; ++p) {
            hash ^= static_cast<unsigned char>(*p);
            hash *= 0x100000001B3ULL;
        }
        return hash;
    };
    const uint64_t basis = 0xCBF29CE484222325ULL;
    const std::string root = KestruneRootPath();
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "/kestrune.%08x.%s.",
                  static_cast<unsigned>(fnv(root.c_str(), basis) & 0xFFFFFFFFu), kind);
    std::string escaped;
    for (const char *p = win32Name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '_' || c == '-') {
            escaped += static_cast<char>(c);
        } else {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", c);
            escaped += code;
        }
    }
    if (escaped.size() > 160) {
        char hash[24];
        std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv(win32Name, basis)));
        escaped = escaped.substr(0, 120) + hash;
    }
    shmName = prefix + escaped;
    return true;
}

}  // namespace kestrune

const char *KestruneSystemConfigurationFolder() {
    return "/etc";
}

bool KestruneIsNativePath(const char *path) {
    return path != nullptr && path[0] == '/';
}

bool KestruneMapPath(const char *windowsPath, char *posixPath, size_t capacity) {
    return kestrune::MapPath(windowsPath, posixPath, capacity, nullptr);
}
