// kestrune: the program entry. It takes its configuration from the registry and the command
// line (app/Configuration.h); without either it runs as it always did: real-time process
// priority on logical processor 2, the event log in the data directory, one uSonic-3 engine
// on COM1, raw archiving with hourly files, 60-second statistics, a 6-second blackout after
// each clock synchronisation, no compression. A bad value ends it with status 2 before
// anything starts. It starts the engine
// and, when that succeeded, the archive engine, and runs until it is asked to stop: Ctrl-C,
// Ctrl-Break, the console closing, logoff or shutdown (on Linux SIGINT, SIGQUIT, SIGHUP and
// SIGTERM) stop the engine without losing a sample, and the program ends with status 0.
// KESTRUNE_RUN_SECONDS, when set to a positive number, stops it after that many seconds.
//
// Only one instance runs per data directory: a second one exits at once with status 2.
// "kestrune service ..." and --service are the Windows service (app/WindowsService.h); as the
// service, a port missing at the start is waited for a bounded time only.
#include <new>

#include "app/Configuration.h"
#include "app/ServiceNotifier.h"
#include "app/StationStatus.h"
#include "app/WindowsService.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/ClockWatch.h"
#include "services/EventLog.h"
#include "services/StationFormats.h"

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

// The entry that a damaged registry store was set aside.
const LONG StoreSetAsideCode = 5033;

// Exit status of a second instance on a data directory that is in use.
const int InstanceRunningStatus = 2;
// Exit status (and, as a service, service-specific exit code) of a run whose engine did not start.
const int StartFailedStatus = 3;
// Event-log code of a service start given up because the port did not appear.
const LONG PortNeverAppearedCode = 5305;

// The engine the control handler stops, and the bookkeeping that lets only one Stop run:
// a second request waits until the first has completed.
SonicMetek3ClassAMPSerial *RunningEngine = nullptr;
HANDLE StopLock = nullptr;      // unnamed mutex around Stop
HANDLE StoppedEvent = nullptr;  // manual-reset: Stop has completed
// Tells a service manager about the start, the stop and the threads' health.
ServiceNotifier *Notifier = nullptr;

void StopOnce() {
    WaitForSingleObject(StopLock, INFINITE);
    if (WaitForSingleObject(StoppedEvent, 0) != WAIT_OBJECT_0) {
        if (Notifier != nullptr)
            Notifier->Stopping();
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
    char path[MAX_PATH + sizeof ProcessIdFileName];
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
    char path[MAX_PATH + sizeof ProcessIdFileName];
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

// The program's run: in a console, or as the service (--service).
// The processors of a configured process mask that this machine has; when it has none of
// them, the last processor it has, the nearest to those named (masks name low processors
// first, and a station PC has fewer processors than the one it was set up for).
DWORD_PTR ExistingProcessors(DWORD_PTR configured) {
    DWORD_PTR processMask = 0, systemMask = 0;
    if (configured == 0 || !GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask) ||
        systemMask == 0 || (configured & systemMask) == configured)
        return configured;
    if ((configured & systemMask) != 0)
        return configured & systemMask;
    DWORD_PTR last = 1;
    for (DWORD_PTR bit = 1; bit != 0; bit <<= 1)
        if (systemMask & bit)
            last = bit;
    return last;
}

int RunStation(int argc, char **argv) {
    Configuration configuration;
    if (configuration.Load(argc, argv) != 0) {
        fprintf(stderr, "%s\n", configuration.Error);
        return Configuration::UsageStatus;
    }
    // A damaged registry store: what only reads goes on without it, naming it.
    char storePath[MAX_PATH] = {};
    if (configuration.StoreUnreadable) {
        if (KestruneRegistryStorePath(storePath, sizeof storePath) == 0)
            snprintf(storePath, sizeof storePath, "%s", "of the registry");
        if (configuration.Action != Configuration::Run)
            fprintf(stderr, "kestrune: the registry store %s cannot be read (error %ld); its values are left out.\n",
                    storePath, static_cast<long>(configuration.StoreError));
    }
    switch (configuration.Action) {
        case Configuration::ShowHelp:
            fputs(Configuration::Usage().c_str(), stdout);
            return 0;
        case Configuration::ShowVersion:
            printf("kestrune %s\n", KESTRUNE_VERSION);
            return 0;
        case Configuration::ShowConfig:
            fputs(configuration.Describe().c_str(), stdout);
            return 0;
        case Configuration::ControlService:
            return WindowsService::Command(configuration.ServiceVerb);
        case Configuration::ShowStatus: {
            const StationStatus status(configuration);
            fputs(configuration.Json ? status.Json().c_str() : status.Text().c_str(), stdout);
            return status.Healthy ? StationStatus::HealthyStatus : StationStatus::UnhealthyStatus;
        }
        default:
            break;
    }

    char dataDirectory[MAX_PATH];
    char instrumentName[MAX_PATH];
    char serialNumber[MAX_PATH];
    char rawArchiveDirectory[MAX_PATH];
    char rawFileTemplate[MAX_PATH];
    char statsArchiveDirectory[MAX_PATH];
    char statsFileTemplate[MAX_PATH];
    const char eventLogName[] = "QORL Data Acquisition Service EventLog";

    snprintf(dataDirectory, sizeof dataDirectory, "%s", configuration.Text(Configuration::DataDirectory));
    snprintf(instrumentName, sizeof instrumentName, "%s", configuration.Text(Configuration::InstrumentName));
    snprintf(serialNumber, sizeof serialNumber, "%s", configuration.Text(Configuration::SerialNumber));
    snprintf(rawArchiveDirectory, sizeof rawArchiveDirectory, "%s",
             configuration.Text(Configuration::RawArchiveDirectory));
    snprintf(rawFileTemplate, sizeof rawFileTemplate, "%s",
             configuration.Text(Configuration::RawFileTemplate));
    snprintf(statsArchiveDirectory, sizeof statsArchiveDirectory, "%s",
             configuration.Text(Configuration::StatsArchiveDirectory));
    snprintf(statsFileTemplate, sizeof statsFileTemplate, "%s",
             configuration.Text(Configuration::StatsFileTemplate));

    const WORD rawTimeKeyFormat = static_cast<WORD>(configuration.Number(Configuration::RawTimeKeyFormat));
    const WORD rawTimeKeyEnabled = static_cast<WORD>(configuration.Number(Configuration::RawTimeKeyEnabled));
    const WORD qualityControl = static_cast<WORD>(configuration.Number(Configuration::QualityControl));
    const DWORD blackoutPeriod = configuration.Number(Configuration::BlackoutPeriod);
    const DWORD rawArchivePeriod = configuration.Number(Configuration::RawArchivePeriod);
    const DWORD statsArchivePeriod = configuration.Number(Configuration::StatsArchivePeriod);
    const WORD fileCompression = static_cast<WORD>(configuration.Number(Configuration::FileCompression));
    const DWORD compressionAge = configuration.Number(Configuration::CompressionAge);

    // A second instance leaves everything of the running one alone, its event log included.
    HANDLE instanceLock = nullptr;
    if (!LockDataDirectory(dataDirectory, &instanceLock)) {
        char owner[32];
        ReadProcessId(dataDirectory, owner, sizeof owner);
        fprintf(stderr, "kestrune: the data directory %s is in use by another kestrune (PID %s); exiting.\n",
                dataDirectory, owner);
        return InstanceRunningStatus;
    }

    // A damaged store is set aside only when the command line gives every value it could
    // hold; otherwise the station's own settings would be lost without a word.
    char storeAside[MAX_PATH] = {};
    if (configuration.StoreUnreadable) {
        DWORD error = ERROR_INVALID_PARAMETER;
        if (configuration.AllOptionsGiven()) {
            SYSTEMTIME now;
            GetSystemTime(&now);
            char suffix[48];
            snprintf(suffix, sizeof suffix, ".corrupt-%04d%02d%02dT%02d%02d%02dZ", now.wYear, now.wMonth, now.wDay,
                     now.wHour, now.wMinute, now.wSecond);
            error = KestruneSetRegistryStoreAside(suffix, storeAside, sizeof storeAside);
        }
        if (error != 0) {
            fprintf(stderr,
                    "kestrune: the registry store %s is damaged (error %ld). Put back a good copy, or start once with "
                    "every option on the command line (kestrune --help) to keep it as %s.corrupt-<UTC time> and "
                    "begin a fresh store.\n",
                    storePath, static_cast<long>(configuration.StoreError), storePath);
            if (instanceLock != nullptr) {
                ReleaseMutex(instanceLock);
                CloseHandle(instanceLock);
            }
            return Configuration::UsageStatus;
        }
    }

    // The outcome is reported by the engine's own priority check and processor assignment.
    SetPriorityClass(GetCurrentProcess(), configuration.Number(Configuration::PriorityClass));
    const DWORD_PTR configuredMask = configuration.Number(Configuration::AffinityMask);
    const DWORD_PTR processMask = ExistingProcessors(configuredMask);
    SetProcessAffinityMask(GetCurrentProcess(), processMask);

    EventLog *eventLog = nullptr;
    try {
        eventLog = CreateZeroed<EventLog>(eventLogName, dataDirectory);
    } catch (const EventLogException &) {
        fprintf(stderr, "kestrune: cannot create the data directory %s; no acquisition started.\n",
                dataDirectory);
        return 1;
    }
    WriteProcessId(dataDirectory);
    char pidPath[MAX_PATH + sizeof ProcessIdFileName];
    ProcessIdPath(dataDirectory, pidPath, sizeof pidPath);

    SonicMetek3ClassAMPSerial *engine =
        CreateZeroed<SonicMetek3ClassAMPSerial>(instrumentName, serialNumber, *eventLog);
    engine->ComPort = static_cast<WORD>(configuration.Number(Configuration::ComPort));
    engine->BaudRate = configuration.Number(Configuration::BaudRate);
    // The flux periods' settings go to the engine before its archive thread starts.
    engine->FluxSettings = configuration.Flux();
    snprintf(engine->FluxFileTemplate, sizeof engine->FluxFileTemplate, "%s",
             configuration.Text(Configuration::FluxFileTemplate));
    engine->TimeStampAtStart = strcmp(configuration.Text(Configuration::TimeStamp), "end") != 0;
    if (storeAside[0] != '\0') {
        char message[3 * MAX_PATH];
        snprintf(message, sizeof message,
                 "%s: The registry store %s could not be read (error %ld); it was moved aside as %s and a fresh "
                 "store begun.",
                 engine->Name, storePath, static_cast<long>(configuration.StoreError), storeAside);
        eventLog->Write(StoreSetAsideCode, message);
    }
    if (processMask != configuredMask) {
        char message[300];
        snprintf(message, sizeof message,
                 "%s: The process affinity mask (%lu) names logical processors this machine does not have; "
                 "the process runs with the mask (%lu).",
                 engine->Name, static_cast<unsigned long>(configuredMask),
                 static_cast<unsigned long>(processMask));
        eventLog->Write(DataAcquisition::ProcessorFallbackCode, message);
    }

    Notifier = new ServiceNotifier(*engine, engine->ComPort);
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
    const DWORD started = engine->Start();
    if (started == 0 && configuration.AsService && !WindowsService::AwaitStart(engine->EngineReadyEvent)) {
        // Under the control manager a port that does not appear in time fails the start.
        char message[200];
        snprintf(message, sizeof message,
                 "%s: COM%d did not appear within %lu seconds of the service's start. The service stops "
                 "with exit code %d.",
                 engine->Name, static_cast<int>(engine->ComPort),
                 static_cast<unsigned long>(WindowsService::PortWaitAtStart / 1000),
                 WindowsService::PortMissingStatus);
        eventLog->Write(PortNeverAppearedCode, message);
        StopOnce();
        DeleteFileA(pidPath);
        return WindowsService::PortMissingStatus;
    }
    if (started == 0) {
        snprintf(engine->RegistryKeyPath, sizeof engine->RegistryKeyPath, "%s\\%s",
                 Configuration::ParameterKey, engine->Name);
        engine->StartArchiveEngine(rawTimeKeyFormat, rawTimeKeyEnabled, qualityControl, rawArchiveDirectory,
                                   rawFileTemplate, statsArchiveDirectory, statsFileTemplate, blackoutPeriod,
                                   rawArchivePeriod, statsArchivePeriod, fileCompression, compressionAge);
        Notifier->Ready();
        WindowsService::Running();
    } else if (configuration.AsService) {
        StopOnce();  // a service whose start failed ends, with the status of a failed start
        DeleteFileA(pidPath);
        return StartFailedStatus;
    }
    if (StopLock != nullptr)
        ReleaseMutex(StopLock);

    // Runs until a control event has stopped the engine, or for the run length asked for,
    // checking the threads' health for the service manager's watchdog on the way.
    if (StoppedEvent == nullptr)
        Sleep(INFINITE);
    // The clock's synchronisation is watched from here, never from the engine thread.
    ClockWatch clock(*eventLog, engine->Name);
    clock.Check();
    const DWORD runLength = RunLength();
    const ULONGLONG runStart = GetTickCount64();
    const DWORD notifierInterval = Notifier->CheckInterval();
    ULONGLONG nextNotifierCheck = runStart + notifierInterval;
    ULONGLONG nextClockCheck = runStart + ClockWatch::CheckIntervalMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        ULONGLONG until = nextClockCheck;
        if (notifierInterval != INFINITE && nextNotifierCheck < until)
            until = nextNotifierCheck;
        if (runLength != INFINITE && runStart + runLength < until)
            until = runStart + runLength;
        const DWORD wait = until > now ? static_cast<DWORD>(until - now) : 0;
        if (WaitForSingleObject(StoppedEvent, wait) == WAIT_OBJECT_0)
            break;
        const ULONGLONG after = GetTickCount64();
        if (runLength != INFINITE && after - runStart >= runLength) {
            StopOnce();
            break;
        }
        if (after >= nextClockCheck) {
            clock.Check();
            nextClockCheck = after + ClockWatch::CheckIntervalMs;
        }
        if (notifierInterval != INFINITE && after >= nextNotifierCheck) {
            Notifier->Check();
            nextNotifierCheck = after + notifierInterval;
        }
    }

    DeleteFileA(pidPath);
    // The run's named objects end with it, so that /dev/shm keeps no entry of a stopped root:
    // the log's mutex (an unnamed one stands in for a late entry) and the directory's lock.
    // Every thread that wrote entries has ended with the stop.
    if (StopLock != nullptr)
        WaitForSingleObject(StopLock, INFINITE);
    HANDLE logMutex = eventLog->DiskWriteMutex;
    eventLog->DiskWriteMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (logMutex != nullptr)
        CloseHandle(logMutex);
    if (instanceLock != nullptr) {
        ReleaseMutex(instanceLock);
        CloseHandle(instanceLock);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (WindowsService::Requested(argc, argv))
        return WindowsService::Dispatch(argc, argv, RunStation, StopOnce);
    return RunStation(argc, argv);
}
