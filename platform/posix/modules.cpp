// Run-time loaded libraries: LoadLibraryA, FreeLibrary and export lookup on dlopen/dlsym.
//
// A Windows module name "Name.dll" (or "Name") stands for the shared object libName.so. It is
// looked for in the directory of the running executable first, as Windows looks in the
// application directory first; then in the private module folder of the executable's prefix
// (/usr/bin/kestrune looks in /usr/lib/kestrune/), where the package installs its modules,
// out of the system library path; and last through the dynamic loader's own search path
// (LD_LIBRARY_PATH, the cache, the system directories). A name with a folder part is loaded
// from that folder only. An HMODULE is the dlopen handle; the layer keeps a count per handle
// so that FreeLibrary of a handle it never handed out fails instead of crashing, and the
// library is unloaded with its last reference, as on Windows.
#include "platform/posix/modules.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/posix/errors.h"
#include "platform/posix/files.h"

namespace {

std::mutex gModulesLock;
std::map<void *, unsigned> gModules;  // dlopen handle -> references handed out

bool EndsWithNoCase(const std::string &text, const char *suffix) {
    size_t n = std::strlen(suffix);
    return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

std::string ExecutableDirectory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    path[n] = '\0';
    char *slash = std::strrchr(path, '/');
    if (!slash)
        return std::string();
    *slash = '\0';
    return path;
}

// The package's module folder beside the executable's prefix: "<prefix>/lib/kestrune" for an
// executable in "<prefix>/bin" (or any other folder of the prefix).
std::string PrivateModuleDirectory(const std::string &exeDir) {
    size_t slash = exeDir.rfind('/');
    std::string prefix = slash == std::string::npos ? std::string() : exeDir.substr(0, slash);
    return prefix + "/lib/kestrune";
}

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Opens one candidate. Returns the handle, or null with *found telling whether the file was
// there at all (a present file that does not load is a bad image, not a missing module).
void *OpenCandidate(const std::string &path, bool *found) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle) {
        *found = true;
        return handle;
    }
    if (path.find('/') != std::string::npos) {
        *found = FileExists(path);
    } else {
        // Searched by the loader: it says "No such file" only when it found nothing.
        const char *why = dlerror();
        *found = why && !std::strstr(why, "No such file");
    }
    return nullptr;
}

HMODULE Register(void *handle) {
    std::lock_guard<std::mutex> hold(gModulesLock);
    ++gModules[handle];
    return reinterpret_cast<HMODULE>(handle);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name(lpLibFileName);
    size_t cut = name.find_last_of("\\/");
    std::string folder = cut == std::string::npos ? std::string() : name.substr(0, cut);
    std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
    if (EndsWithNoCase(base, ".dll"))
        base.resize(base.size() - 4);
    if (base.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string object = "lib" + base + ".so";

    bool found = false;
    void *handle = nullptr;
    if (!folder.empty()) {
        // An explicit folder: a Windows path is mapped, a POSIX one taken as it is.
        std::string dir = folder;
        if (folder.find('\\') != std::string::npos || folder.find(':') != std::string::npos) {
            char mapped[4096];
            if (!KestruneMapPath(folder.c_str(), mapped, sizeof mapped)) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                return nullptr;
            }
            dir = mapped;
        }
        handle = OpenCandidate(dir + "/" + object, &found);
    } else {
        std::string exeDir = ExecutableDirectory();
        if (!exeDir.empty())
            handle = OpenCandidate(exeDir + "/" + object, &found);
        if (!handle && !found && !exeDir.empty())
            handle = OpenCandidate(PrivateModuleDirectory(exeDir) + "/" + object, &found);
        if (!handle && !found)
            handle = OpenCandidate(object, &found);
    }
    if (!handle) {
        SetLastError(found ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return Register(handle);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    void *handle = reinterpret_cast<void *>(hLibModule);
    {
        std::lock_guard<std::mutex> hold(gModulesLock);
        auto it = gModules.find(handle);
        if (it == gModules.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second == 0)
            gModules.erase(it);
    }
    // dlopen counts references itself, one per successful LoadLibraryA.
    dlclose(handle);
    return TRUE;
}

FARPROC KestruneModuleProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    void *handle = reinterpret_cast<void *>(hModule);
    {
        std::lock_guard<std::mutex> hold(gModulesLock);
        if (gModules.find(handle) == gModules.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    // Exports by ordinal (a value below 0x10000 in place of the name) do not exist here.
    if (!lpProcName || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym(handle, lpProcName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}
