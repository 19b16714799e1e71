// kestrune: the program entry. It takes no arguments and fixes the whole configuration here:
// real-time process priority on logical processor 2, the event log in the data directory,
// one uSonic-3 engine on COM1, raw archiving with hourly files, 60-second statistics, a
// 6-second blackout after each clock synchronisation, no compression. It starts the engine
// and, when that succeeded, the archive engine, and runs until it is asked to stop: Ctrl-C,
// Ctrl-Break, the console closing, logoff or shutdown (on Linux SIGINT, SIGQUIT, SIGHUP and
// SIGTERM) stop the engine without losing a sample, and the program ends with status 0.
// KESTRUNE_RUN_SECONDS, when set to a positive number, stops it after that many seconds.
//
// Only one instance runs per data directory: a second one exits at once with status 2.
#include <new>

#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/EventLog.h"

namespace {

// Builds an object in zero-filled heap storage, so that every member its constructor does
// not set starts at zero. The objects live for the whole run and are never deleted.
template <typename T, typename... Args>
T *CreateZeroed(Args &&...args) {
    void *storage = ::operator new(sizeof(T));
    memset(storage, 0, sizeof(T));
    try {
        return new (storage) T(static_cast<Args &&>(args)...);
    } catch (...) {
        ::operator delete(storage);
        throw;
    }
}

// Exit status of a second instance on a data directory that is in use.
const int InstanceRunningStatus = 2;
// Name of the file in the data directory that holds the running instance's process id.
const char ProcessIdFileName[] = "kestrune.pid";

// The engine the control handler stops, and the bookkeeping that lets only one Stop run:
// a second request waits until the first has completed.
SonicMetek3ClassAMPSerial *RunningEngine = nullptr;
HANDLE StopLock = nullptr;      // unnamed mutex around Stop
HANDLE StoppedEvent = nullptr;  // manual-reset: Stop has completed

void StopOnce() {
    WaitForSingleObject(StopLock, INFINITE);
    if (WaitForSingleObject(StoppedEvent, 0) != WAIT_OBJECT_0) {
        if (RunningEngine != nullptr)
            RunningEngine->Stop();
        SetEvent(StoppedEvent);
    }
    ReleaseMutex(StopLock);
}

// Every console control event stops the engine; the handler returns once Stop completed.
BOOL WINAPI OnConsoleControl(DWORD) {
    StopOnce();
    return TRUE;
}

// The run length asked for through KESTRUNE_RUN_SECONDS in milliseconds, else INFINITE.
DWORD RunLength() {
    const char *text = getenv("KESTRUNE_RUN_SECONDS");
    if (text == nullptr || text[0] == '\0')
        return INFINITE;
    char *end = nullptr;
    const unsigned long seconds = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || seconds == 0 || seconds >= INFINITE / 1000)
        return INFINITE;
    return static_cast<DWORD>(seconds * 1000);
}

// The data directory's lock: a named mutex, whose name is the directory with '_' for each
// '\\' (a mutex name holds no backslash). It is owned by the main thread for the whole run;
// the system hands it on when the owning process dies, however it ends.
// Returns false when another process holds it.
bool LockDataDirectory(const char *dataDirectory, HANDLE *lock) {
    char name[MAX_PATH + 32];
    snprintf(name, sizeof name, "Kestrune DataDirectory %s", dataDirectory);
    for (char *c = name; *c != '\0'; ++c)
        if (*c == '\\')
            *c = '_';
    *lock = CreateMutexA(nullptr, FALSE, name);
    if (*lock == nullptr) {
        fprintf(stderr, "kestrune: cannot create the lock of the data directory %s (error %lu); going on.\n",
                dataDirectory, static_cast<unsigned long>(GetLastError()));
        return true;
    }
    const DWORD wait = WaitForSingleObject(*lock, 0);
    // WAIT_ABANDONED: the previous owner died; the lock is ours now.
    return wait != WAIT_TIMEOUT;
}

void ProcessIdPath(const char *dataDirectory, char *path, size_t size) {
    snprintf(path, size, "%s\\%s", dataDirectory, ProcessIdFileName);
}

void WriteProcessId(const char *dataDirectory) {
    char path[MAX_PATH];
    ProcessIdPath(dataDirectory, path, sizeof path);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char text[32];
    const int length =
        snprintf(text, sizeof text, "%lu\r\n", static_cast<unsigned long>(GetCurrentProcessId()));
    DWORD written = 0;
    if (length > 0)
        WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

// The running instance's process id as its file gives it, or "unknown".
void ReadProcessId(const char *dataDirectory, char *text, size_t size) {
    snprintf(text, size, "%s", "unknown");
    char path[MAX_PATH];
    ProcessIdPath(dataDirectory, path, sizeof path);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char content[32] = {};
    DWORD read = 0;
    if (ReadFile(file, content, sizeof content - 1, &read, nullptr) && read > 0) {
        char *end = nullptr;
        const unsigned long id = strtoul(content, &end, 10);
        if (end != content)
            snprintf(text, size, "%lu", id);
    }
    CloseHandle(file);
}

}  // namespace

int main(int, char **) {
    char dataDirectory[MAX_PATH];
    char instrumentName[MAX_PATH];
    char serialNumber[MAX_PATH];
    char rawArchiveDirectory[MAX_PATH];
    char rawFileTemplate[MAX_PATH];
    char statsArchiveDirectory[MAX_PATH];
    char statsFileTemplate[MAX_PATH];
    const char eventLogName[] = "QORL Data Acquisition Service EventLog";
    const char parameterKey[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters";

    snprintf(dataDirectory, sizeof dataDirectory, "%s", "C:\\Data\\Code\\Projects\\Win32Console\\Kestrune");
    snprintf(instrumentName, sizeof instrumentName, "%s", "Metek");
    snprintf(serialNumber, sizeof serialNumber, "%s", "666");
    snprintf(rawArchiveDirectory, sizeof rawArchiveDirectory, "%s", dataDirectory);
    snprintf(rawFileTemplate, sizeof rawFileTemplate, "%s", "lab0<YYJJJHH>_raw.txt");
    snprintf(statsArchiveDirectory, sizeof statsArchiveDirectory, "%s", dataDirectory);
    snprintf(statsFileTemplate, sizeof statsFileTemplate, "%s", "lab0<YYJJJHH>_stats.txt");

    const WORD rawTimeKeyFormat = 2;
    const WORD rawTimeKeyEnabled = 1;
    const WORD qualityControl = 1;
    const DWORD blackoutPeriod = 6;
    const DWORD rawArchivePeriod = 60;
    const DWORD statsArchivePeriod = 60;
    const WORD fileCompression = 0;
    const DWORD compressionAge = 3600;

    // A second instance leaves everything of the running one alone, its event log included.
    HANDLE instanceLock = nullptr;
    if (!LockDataDirectory(dataDirectory, &instanceLock)) {
        char owner[32];
        ReadProcessId(dataDirectory, owner, sizeof owner);
        fprintf(stderr, "kestrune: the data directory %s is in use by another kestrune (PID %s); exiting.\n",
                dataDirectory, owner);
        return InstanceRunningStatus;
    }

    // The outcome is reported by the engine's own priority check and processor assignment.
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetProcessAffinityMask(GetCurrentProcess(), 4);

    EventLog *eventLog = nullptr;
    try {
        eventLog = CreateZeroed<EventLog>(eventLogName, dataDirectory);
    } catch (const EventLogException &) {
        fprintf(stderr, "kestrune: cannot create the data directory %s; no acquisition started.\n",
                dataDirectory);
        return 1;
    }
    WriteProcessId(dataDirectory);

    SonicMetek3ClassAMPSerial *engine =
        CreateZeroed<SonicMetek3ClassAMPSerial>(instrumentName, serialNumber, *eventLog);

    // From here a stop request stops this engine.
    StopLock = CreateMutexA(nullptr, FALSE, nullptr);
    StoppedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RunningEngine = engine;
    if (StopLock == nullptr || StoppedEvent == nullptr || !SetConsoleCtrlHandler(OnConsoleControl, TRUE))
        fprintf(stderr, "kestrune: cannot catch stop requests (error %lu); the run ends only when killed.\n",
                static_cast<unsigned long>(GetLastError()));

    // A stop request that comes while the engine is being started waits until the start is
    // complete, so that Stop finds every thread the start created.
    if (StopLock != nullptr)
        WaitForSingleObject(StopLock, INFINITE);
    if (engine->Start() == 0) {
        snprintf(engine->RegistryKeyPath, sizeof engine->RegistryKeyPath, "%s\\%s", parameterKey,
                 engine->Name);
        engine->StartArchiveEngine(rawTimeKeyFormat, rawTimeKeyEnabled, qualityControl, rawArchiveDirectory,
                                   rawFileTemplate, statsArchiveDirectory, statsFileTemplate, blackoutPeriod,
                                   rawArchivePeriod, statsArchivePeriod, fileCompression, compressionAge);
    }
    if (StopLock != nullptr)
        ReleaseMutex(StopLock);

    // Runs until a control event has stopped the engine, or for the run length asked for.
    if (StoppedEvent == nullptr)
        Sleep(INFINITE);
    if (WaitForSingleObject(StoppedEvent, RunLength()) != WAIT_OBJECT_0)
        StopOnce();

    char pidPath[MAX_PATH];
    ProcessIdPath(dataDirectory, pidPath, sizeof pidPath);
    DeleteFileA(pidPath);
    if (instanceLock != nullptr)
        ReleaseMutex(instanceLock);
    return 0;
}
