// What the operating system itself says about the running test process, for checking the
// platform layer's answers against it.
#pragma once

#include <string>

#ifdef _WIN32
#include <cstdlib>

#include "platform/win32.h"
#else
#include <unistd.h>
#endif

// The full path of the running executable.
inline std::string ExecutablePath() {
#ifdef _WIN32
    // The C runtime's record of the program's path, taken at start-up.
    return _pgmptr ? std::string(_pgmptr) : std::string();
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
#endif
}

// The number of processors online.
inline long OnlineProcessors() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<long>(info.dwNumberOfProcessors);
#else
    return sysconf(_SC_NPROCESSORS_ONLN);
#endif
}
