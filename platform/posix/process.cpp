// Processes, scheduling, affinity and processor information on POSIX.
//
// Priorities are applied for real and read back from what the kernel has in force:
// - REALTIME_PRIORITY_CLASS puts every thread of the process under SCHED_FIFO, at the
//   Windows base priority of its level (IDLE 16, LOWEST 22 ... NORMAL 24 ... HIGHEST 26,
//   TIME_CRITICAL 31). Other classes keep threads under SCHED_OTHER with a nice value
//   (class IDLE 10, BELOW_NORMAL 5, NORMAL 0, ABOVE_NORMAL -5, HIGH -10; each thread level
//   from LOWEST to HIGHEST moves it by 5 the other way).
// - THREAD_PRIORITY_TIME_CRITICAL outside the real-time class is SCHED_FIFO 15.
// - THREAD_PRIORITY_IDLE is SCHED_OTHER at nice 19 in every class, the real-time class
//   included, and nice 19 is kept for it (other levels stop at 18). This is a deliberate
//   difference: Windows services a serial port in DPCs, above every thread, so an idle thread
//   of a real-time process (the archive, the compression run) can take a whole core without
//   delaying a byte. Linux services the tty in a kernel worker at normal priority, which a
//   real-time bulk thread would starve, late-stamping every line. Not SCHED_IDLE either: on a
//   busy machine that could starve the archive for good. So only the time-critical threads
//   (the engine thread, and the port reader it starts, which inherits its scheduling) run
//   under SCHED_FIFO; a thread at another level of the real-time class is SCHED_FIFO at its
//   base priority as above.
// Where the kernel refuses (no CAP_SYS_NICE, RLIMIT_RTPRIO), the call fails with
// ERROR_ACCESS_DENIED and GetThreadPriority / GetPriorityClass keep reporting what is in
// force. Windows instead lowers a refused REALTIME class to HIGH and reports success; this
// layer reports the failure.
// Affinity: the process mask is what the process may run on when it starts (and what
// SetProcessAffinityMask sets on every thread); new threads start on the whole process
// mask and at the class's normal level, as on Windows, whatever their creator runs at.
// The system mask is the machine's online processors (the first 64).
// GetLogicalProcessorInformation reads /sys/devices/system/cpu: one RelationProcessorCore
// entry per core, then its caches, packages and NUMA nodes.
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/posix/handles_internal.h"

#ifndef SCHED_IDLE
#define SCHED_IDLE 5
#endif

namespace kestrune {
namespace {

DWORD_PTR MaskFromSet(const cpu_set_t &set) {
    DWORD_PTR mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu)
        if (CPU_ISSET(cpu, &set))
            mask |= DWORD_PTR(1) << cpu;
    return mask;
}

cpu_set_t SetFromMask(DWORD_PTR mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu)
        if (mask & (DWORD_PTR(1) << cpu))
            CPU_SET(cpu, &set);
    return set;
}

DWORD_PTR ReadAffinity(pid_t tid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(tid, sizeof set, &set) != 0)
        return 0;
    return MaskFromSet(set);
}

std::string ReadSmallFile(const std::string &path) {
    std::string text;
    FILE *file = std::fopen(path.c_str(), "re");
    if (!file)
        return text;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// "0-3,6" -> mask (processors 0 to 63).
DWORD_PTR MaskFromList(const std::string &list) {
    DWORD_PTR mask = 0;
    const char *p = list.c_str();
    while (*p) {
        char *end;
        long first = std::strtol(p, &end, 10);
        if (end == p)
            break;
        long last = first;
        p = end;
        if (*p == '-') {
            last = std::strtol(p + 1, &end, 10);
            p = end;
        }
        for (long cpu = first; cpu <= last && cpu < 64; ++cpu)
            if (cpu >= 0)
                mask |= DWORD_PTR(1) << cpu;
        if (*p == ',')
            ++p;
        else
            break;
    }
    return mask;
}

DWORD_PTR SystemMask() {
    DWORD_PTR mask = MaskFromList(ReadSmallFile("/sys/devices/system/cpu/online"));
    if (mask == 0) {
        long count = sysconf(_SC_NPROCESSORS_ONLN);
        for (long cpu = 0; cpu < count && cpu < 64; ++cpu)
            mask |= DWORD_PTR(1) << cpu;
    }
    return mask;
}

// Process-wide scheduling state. The process mask starts as the affinity the process was
// started with (read while loading, on the main thread).
struct Scheduling {
    std::mutex lock;
    std::atomic<DWORD_PTR> processMask{ReadAffinity(0)};
    DWORD priorityClass = NORMAL_PRIORITY_CLASS;  // the last class applied below REALTIME
};
Scheduling &State() {
    static Scheduling *state = new Scheduling;
    return *state;
}
const bool kStateReadAtLoad = (State(), true);

int ClassNice(DWORD priorityClass) {
    switch (priorityClass) {
        case IDLE_PRIORITY_CLASS:
            return 10;
        case BELOW_NORMAL_PRIORITY_CLASS:
            return 5;
        case ABOVE_NORMAL_PRIORITY_CLASS:
            return -5;
        case HIGH_PRIORITY_CLASS:
        case REALTIME_PRIORITY_CLASS:
            return -10;
        default:
            return 0;
    }
}

bool ValidLevel(int level) {
    return level == THREAD_PRIORITY_IDLE || level == THREAD_PRIORITY_TIME_CRITICAL ||
           (level >= THREAD_PRIORITY_LOWEST && level <= THREAD_PRIORITY_HIGHEST);
}

// The nice value of THREAD_PRIORITY_IDLE; the other levels stay below it.
constexpr int IdleNice = 19;

int RealtimeFifoPriority(int level) {
    if (level == THREAD_PRIORITY_TIME_CRITICAL)
        return 31;
    return 24 + level;
}

bool MainThreadRealtime() {
    int policy = sched_getscheduler(getpid());
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

}  // namespace

// The level a thread runs at, read from the kernel. THREAD_PRIORITY_ERROR_RETURN when the
// thread cannot be read.
int ReadThreadLevel(pid_t tid) {
    int policy = sched_getscheduler(tid);
    if (policy < 0) {
        SetLastErrorFromErrno(errno);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        struct sched_param param;
        if (sched_getparam(tid, &param) != 0) {
            SetLastErrorFromErrno(errno);
            return THREAD_PRIORITY_ERROR_RETURN;
        }
        const int prio = param.sched_priority;
        if (prio == 15 || prio >= 31)
            return THREAD_PRIORITY_TIME_CRITICAL;
        if (prio >= 17 && prio <= 26)
            return std::max(THREAD_PRIORITY_LOWEST, prio - 24);
        return THREAD_PRIORITY_HIGHEST;  // real-time, but not at a level this layer sets
    }
    if (policy == SCHED_IDLE)
        return THREAD_PRIORITY_IDLE;
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (nice == -1 && errno != 0) {
        SetLastErrorFromErrno(errno);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    if (nice >= IdleNice)
        return THREAD_PRIORITY_IDLE;
    int classNice;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        classNice = ClassNice(State().priorityClass);
    }
    const int offset = classNice - nice;  // positive: above the class's normal level
    int level = offset >= 0 ? (offset + 2) / 5 : -((-offset + 2) / 5);
    return std::min(THREAD_PRIORITY_HIGHEST, std::max(THREAD_PRIORITY_LOWEST, level));
}

namespace {
bool ApplyLevel(pid_t tid, int level, bool realtimeClass, int classNice) {
    struct sched_param param;
    std::memset(&param, 0, sizeof param);
    if (level != THREAD_PRIORITY_IDLE && (realtimeClass || level == THREAD_PRIORITY_TIME_CRITICAL)) {
        param.sched_priority = realtimeClass ? RealtimeFifoPriority(level) : 15;
        if (sched_setscheduler(tid, SCHED_FIFO, &param) != 0) {
            SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
            return false;
        }
        return true;
    }
    if (sched_setscheduler(tid, SCHED_OTHER, &param) != 0) {
        SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
        return false;
    }
    const int nice = level == THREAD_PRIORITY_IDLE
                         ? IdleNice
                         : std::min(IdleNice - 1, std::max(-20, classNice - 5 * level));
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0) {
        SetLastError(errno == EPERM || errno == EACCES ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
        return false;
    }
    return true;
}

std::vector<pid_t> ProcessThreadIds() {
    std::vector<pid_t> ids;
    DIR *dir = opendir("/proc/self/task");
    if (!dir) {
        ids.push_back(getpid());
        return ids;
    }
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            ids.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
    }
    closedir(dir);
    // The main thread first: when it is refused, nothing has changed yet.
    std::sort(ids.begin(), ids.end(), [](pid_t a, pid_t b) {
        if ((a == getpid()) != (b == getpid()))
            return a == getpid();
        return a < b;
    });
    return ids;
}

bool IsCurrentProcess(HANDLE process) {
    if (process == CurrentProcessPseudoHandle())
        return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace

bool SetThreadLevel(pid_t tid, int level) {
    if (!ValidLevel(level)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const bool realtime = MainThreadRealtime();
    int classNice;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        classNice = ClassNice(State().priorityClass);
    }
    return ApplyLevel(tid, level, realtime, classNice);
}

DWORD_PTR SetThreadAffinity(pid_t tid, DWORD_PTR mask) {
    const DWORD_PTR processMask = State().processMask.load();
    if (mask == 0 || (mask & ~processMask) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD_PTR previous = ReadAffinity(tid);
    cpu_set_t set = SetFromMask(mask);
    if (sched_setaffinity(tid, sizeof set, &set) != 0) {
        SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : Win32ErrorFromErrno(errno));
        return 0;
    }
    return previous ? previous : processMask;
}

// A new thread starts at the class's normal level on the whole process mask.
void ApplyNewThreadScheduling() {
    const pid_t self = gettid();
    const bool realtime = MainThreadRealtime();
    int classNice;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        classNice = ClassNice(State().priorityClass);
    }
    const DWORD saved = GetLastError();
    ApplyLevel(self, THREAD_PRIORITY_NORMAL, realtime, classNice);
    cpu_set_t set = SetFromMask(State().processMask.load());
    sched_setaffinity(self, sizeof set, &set);
    SetLastError(saved);
}

}  // namespace kestrune

using namespace kestrune;

BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
    if (!IsCurrentProcess(hProcess))
        return FALSE;
    switch (dwPriorityClass) {
        case IDLE_PRIORITY_CLASS:
        case BELOW_NORMAL_PRIORITY_CLASS:
        case NORMAL_PRIORITY_CLASS:
        case ABOVE_NORMAL_PRIORITY_CLASS:
        case HIGH_PRIORITY_CLASS:
        case REALTIME_PRIORITY_CLASS:
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    static std::mutex changing;  // one change of class at a time
    std::lock_guard<std::mutex> changeGuard(changing);
    Scheduling &state = State();
    const bool newRealtime = dwPriorityClass == REALTIME_PRIORITY_CLASS;
    DWORD recordedBefore;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        recordedBefore = state.priorityClass;
    }
    const int newNice = ClassNice(newRealtime ? recordedBefore : dwPriorityClass);
    // Each thread keeps its level across the change of class.
    std::vector<std::pair<pid_t, int>> levels;
    for (pid_t tid : ProcessThreadIds()) {
        int level = ReadThreadLevel(tid);
        if (level != THREAD_PRIORITY_ERROR_RETURN)
            levels.emplace_back(tid, level);
    }
    bool first = true;
    for (const auto &entry : levels) {
        if (!ApplyLevel(entry.first, entry.second, newRealtime, newNice) && first)
            return FALSE;  // refused for the main thread: nothing changed
        first = false;
    }
    if (!newRealtime) {
        std::lock_guard<std::mutex> guard(state.lock);
        state.priorityClass = dwPriorityClass;
    }
    return TRUE;
}

DWORD GetPriorityClass(HANDLE hProcess) {
    if (!IsCurrentProcess(hProcess))
        return 0;
    if (MainThreadRealtime())
        return REALTIME_PRIORITY_CLASS;
    std::lock_guard<std::mutex> guard(State().lock);
    return State().priorityClass;
}

BOOL SetProcessAffinityMask(HANDLE hProcess, DWORD_PTR dwProcessAffinityMask) {
    if (!IsCurrentProcess(hProcess))
        return FALSE;
    if (dwProcessAffinityMask == 0 || (dwProcessAffinityMask & ~SystemMask()) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    cpu_set_t set = SetFromMask(dwProcessAffinityMask);
    bool first = true;
    for (pid_t tid : ProcessThreadIds()) {
        if (sched_setaffinity(tid, sizeof set, &set) != 0 && first) {
            SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : Win32ErrorFromErrno(errno));
            return FALSE;
        }
        first = false;
    }
    State().processMask.store(dwProcessAffinityMask);
    return TRUE;
}

BOOL GetProcessAffinityMask(HANDLE hProcess, PDWORD_PTR lpProcessAffinityMask,
                            PDWORD_PTR lpSystemAffinityMask) {
    if (!IsCurrentProcess(hProcess))
        return FALSE;
    if (!lpProcessAffinityMask || !lpSystemAffinityMask) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpProcessAffinityMask = State().processMask.load();
    *lpSystemAffinityMask = SystemMask();
    return TRUE;
}

namespace {

struct CacheKey {
    int level;
    int type;
    DWORD_PTR mask;
    bool operator<(const CacheKey &other) const {
        return std::tie(level, type, mask) < std::tie(other.level, other.type, other.mask);
    }
};

DWORD ParseSize(const std::string &text) {
    char *end;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (*end == 'K')
        value *= 1024;
    else if (*end == 'M')
        value *= 1024 * 1024;
    return static_cast<DWORD>(value);
}

std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> ReadProcessorInformation() {
    const std::string base = "/sys/devices/system/cpu/cpu";
    const DWORD_PTR online = SystemMask();
    std::map<std::pair<int, int>, DWORD_PTR> cores;  // (package, core) -> processors
    std::map<int, DWORD_PTR> packages;
    std::map<CacheKey, SYSTEM_LOGICAL_PROCESSOR_INFORMATION> caches;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (!(online & (DWORD_PTR(1) << cpu)))
            continue;
        const std::string dir = base + std::to_string(cpu);
        std::string packageText = ReadSmallFile(dir + "/topology/physical_package_id");
        std::string coreText = ReadSmallFile(dir + "/topology/core_id");
        const int package = packageText.empty() ? 0 : std::atoi(packageText.c_str());
        const int core = coreText.empty() ? 1000000 + cpu : std::atoi(coreText.c_str());
        cores[{package, core}] |= DWORD_PTR(1) << cpu;
        packages[package] |= DWORD_PTR(1) << cpu;
        for (int index = 0;; ++index) {
            const std::string cache = dir + "/cache/index" + std::to_string(index);
            std::string levelText = ReadSmallFile(cache + "/level");
            if (levelText.empty())
                break;
            std::string typeText = ReadSmallFile(cache + "/type");
            PROCESSOR_CACHE_TYPE type = typeText == "Data"          ? CacheData
                                        : typeText == "Instruction" ? CacheInstruction
                                                                    : CacheUnified;
            DWORD_PTR shared = MaskFromList(ReadSmallFile(cache + "/shared_cpu_list")) & online;
            if (!shared)
                shared = DWORD_PTR(1) << cpu;
            CacheKey key{std::atoi(levelText.c_str()), static_cast<int>(type), shared};
            if (caches.count(key))
                continue;
            SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry;
            std::memset(&entry, 0, sizeof entry);
            entry.ProcessorMask = shared;
            entry.Relationship = RelationCache;
            entry.Cache.Level = static_cast<BYTE>(key.level);
            std::string ways = ReadSmallFile(cache + "/ways_of_associativity");
            entry.Cache.Associativity = static_cast<BYTE>(ways.empty() ? 0 : std::atoi(ways.c_str()));
            std::string line = ReadSmallFile(cache + "/coherency_line_size");
            entry.Cache.LineSize = static_cast<WORD>(line.empty() ? 0 : std::atoi(line.c_str()));
            entry.Cache.Size = ParseSize(ReadSmallFile(cache + "/size"));
            entry.Cache.Type = type;
            caches[key] = entry;
        }
    }
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries;
    std::vector<DWORD_PTR> coreMasks;
    for (const auto &core : cores)
        coreMasks.push_back(core.second);
    std::sort(coreMasks.begin(), coreMasks.end(),
              [](DWORD_PTR a, DWORD_PTR b) { return __builtin_ctzll(a) < __builtin_ctzll(b); });
    for (DWORD_PTR mask : coreMasks) {
        SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry;
        std::memset(&entry, 0, sizeof entry);
        entry.ProcessorMask = mask;
        entry.Relationship = RelationProcessorCore;
        entry.ProcessorCore.Flags = __builtin_popcountll(mask) > 1 ? 1 : 0;
        entries.push_back(entry);
    }
    for (const auto &cache : caches)
        entries.push_back(cache.second);
    for (const auto &package : packages) {
        SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry;
        std::memset(&entry, 0, sizeof entry);
        entry.ProcessorMask = package.second;
        entry.Relationship = RelationProcessorPackage;
        entries.push_back(entry);
    }
    // NUMA nodes, or one node holding every processor.
    bool anyNode = false;
    for (int node = 0; node < 64; ++node) {
        std::string list = ReadSmallFile("/sys/devices/system/node/node" + std::to_string(node) + "/cpulist");
        if (list.empty())
            continue;
        DWORD_PTR mask = MaskFromList(list) & online;
        if (!mask)
            continue;
        SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry;
        std::memset(&entry, 0, sizeof entry);
        entry.ProcessorMask = mask;
        entry.Relationship = RelationNumaNode;
        entry.NumaNode.NodeNumber = static_cast<DWORD>(node);
        entries.push_back(entry);
        anyNode = true;
    }
    if (!anyNode) {
        SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry;
        std::memset(&entry, 0, sizeof entry);
        entry.ProcessorMask = online;
        entry.Relationship = RelationNumaNode;
        entries.push_back(entry);
    }
    return entries;
}

char gKernel32Module;
char gProgramModule;

bool IsKernel32(const char *name) {
    return strcasecmp(name, "kernel32") == 0 || strcasecmp(name, "kernel32.dll") == 0;
}

}  // namespace

BOOL GetLogicalProcessorInformation(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION Buffer, PDWORD ReturnedLength) {
    if (!ReturnedLength) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries;
    try {
        entries = ReadProcessorInformation();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(entries.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    if (!Buffer || *ReturnedLength < needed) {
        *ReturnedLength = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(Buffer, entries.data(), needed);
    *ReturnedLength = needed;
    return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName)
        return reinterpret_cast<HMODULE>(&gProgramModule);
    if (IsKernel32(lpModuleName))
        return reinterpret_cast<HMODULE>(&gKernel32Module);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule == reinterpret_cast<HMODULE>(&gKernel32Module) ||
        hModule == reinterpret_cast<HMODULE>(&gProgramModule)) {
        // Names only; an ordinal is a small integer in place of the pointer.
        if (hModule == reinterpret_cast<HMODULE>(&gKernel32Module) &&
            reinterpret_cast<uintptr_t>(lpProcName) > 0xFFFF &&
            std::strcmp(lpProcName, "GetLogicalProcessorInformation") == 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&GetLogicalProcessorInformation));
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (!hModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return KestruneModuleProcAddress(hModule, lpProcName);
}

// The program's own path (a POSIX path). Other modules: ERROR_CALL_NOT_IMPLEMENTED.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule && hModule != reinterpret_cast<HMODULE>(&gProgramModule)) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length < 0) {
        SetLastErrorFromErrno(errno);
        return 0;
    }
    path[length] = 0;
    if (nSize == 0 || !lpFilename) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (static_cast<DWORD>(length) >= nSize) {
        // Truncated and terminated, as Windows does.
        std::memcpy(lpFilename, path, nSize - 1);
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path, static_cast<size_t>(length) + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(length);
}
