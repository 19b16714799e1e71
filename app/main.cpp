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
// Warnings and errors of the event log also go to the system's journal when the program runs
// under systemd (JOURNAL_STREAM); the event log stays the record.
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

// Exit status of a second instance on a data directory that is in use.
const int InstanceRunningStatus = 2;
// Exit status (and, as a service, service-specific exit code) of a run whose engine did not start.
const int StartFailedStatus = 3;

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

// Reports warnings and errors to the system's journal as well (the event-log file stays the
// record). How an entry ranks is decided in one place, StationStatus::SeverityOf.
void ReportToJournal(LONG code, const char *message) {
    const StationStatus::Severity severity = StationStatus::SeverityOf(static_cast<int>(code), message);
    if (severity == StationStatus::Error)
        KestruneReportEvent(EVENTLOG_ERROR_TYPE, static_cast<DWORD>(code), message);
    else if (severity == StationStatus::Warning)
        KestruneReportEvent(EVENTLOG_WARNING_TYPE, static_cast<DWORD>(code), message);
}

// What one run of the station holds, phase to phase.
struct Station {
    Configuration configuration;
    char storePath[MAX_PATH] = {};   // the registry store, for messages about it
    char storeAside[MAX_PATH] = {};  // where a damaged store was moved, or empty
    HANDLE instanceLock = nullptr;
    DWORD_PTR configuredMask = 0;
    DWORD_PTR processMask = 0;
    EventLog *eventLog = nullptr;
    SonicMetek3ClassAMPSerial *engine = nullptr;
    char pidPath[MAX_PATH + sizeof ProcessIdFileName] = {};
};

void ReleaseInstanceLock(Station &station) {
    if (station.instanceLock != nullptr) {
        ReleaseMutex(station.instanceLock);
        CloseHandle(station.instanceLock);
        station.instanceLock = nullptr;
    }
}

// Reads the configuration; false (after its one line on stderr) when a value is bad. A damaged
// registry store is named here for what only reads.
bool LoadConfiguration(Station &station, int argc, char **argv) {
    Configuration &configuration = station.configuration;
    if (configuration.Load(argc, argv) != 0) {
        fprintf(stderr, "%s\n", configuration.Error);
        return false;
    }
    if (configuration.StoreUnreadable) {
        if (KestruneRegistryStorePath(station.storePath, sizeof station.storePath) == 0)
            snprintf(station.storePath, sizeof station.storePath, "%s", "of the registry");
        if (configuration.Action != Configuration::Run)
            fprintf(stderr,
                    "kestrune: the registry store %s cannot be read (error %ld); its values are left out.\n",
                    station.storePath, static_cast<long>(configuration.StoreError));
    }
    return true;
}

// Everything but a run: help, version, the configuration, the status, the Windows service.
// Only reads. Sets *handled when the command was one of them, and returns its status.
int RunCommand(const Configuration &configuration, bool *handled) {
    *handled = true;
    switch (configuration.Action) {
        case Configuration::ShowHelp:
            fputs(Configuration::Usage().c_str(), stdout);
            return 0;
        case Configuration::ShowVersion:
            printf("kestrune %s\n", KESTRUNE_VERSION);
            return 0;
        case Configuration::ShowConfig:
            fputs(configuration.Describe().c_str(), stdout);
            fputs(configuration.DescribeNative().c_str(), stdout);
            return 0;
        case Configuration::ControlService:
            return WindowsService::Command(configuration.ServiceVerb);
        case Configuration::ShowStatus: {
            const StationStatus status(configuration);
            fputs(configuration.Json ? status.Json().c_str() : status.Text().c_str(), stdout);
            return status.Healthy ? StationStatus::HealthyStatus : StationStatus::UnhealthyStatus;
        }
        default:
            *handled = false;
            return 0;
    }
}

// Takes the data directory for this run, and sets a damaged registry store aside when the
// command line gives every value it could hold. Returns 0, or the exit status.
int ClaimDataDirectory(Station &station) {
    const Configuration &configuration = station.configuration;
    const char *dataDirectory = configuration.Text(Configuration::DataDirectory);
    // A second instance leaves everything of the running one alone, its event log included.
    if (!LockDataDirectory(dataDirectory, &station.instanceLock)) {
        char owner[32];
        ReadProcessId(dataDirectory, owner, sizeof owner);
        fprintf(stderr, "kestrune: the data directory %s is in use by another kestrune (PID %s); exiting.\n",
                dataDirectory, owner);
        return InstanceRunningStatus;
    }
    // Otherwise the station's own settings would be lost without a word.
    if (!configuration.StoreUnreadable)
        return 0;
    DWORD error = ERROR_INVALID_PARAMETER;
    if (configuration.AllOptionsGiven()) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        char suffix[48];
        snprintf(suffix, sizeof suffix, ".corrupt-%04d%02d%02dT%02d%02d%02dZ", now.wYear, now.wMonth,
                 now.wDay, now.wHour, now.wMinute, now.wSecond);
        error = KestruneSetRegistryStoreAside(suffix, station.storeAside, sizeof station.storeAside);
    }
    if (error == 0)
        return 0;
    fprintf(
        stderr,
        "kestrune: the registry store %s is damaged (error %ld). Put back a good copy, or start once with "
        "every option on the command line or in the options file (kestrune --help) to keep it as "
        "%s.corrupt-<UTC time> and "
        "begin a fresh store.\n",
        station.storePath, static_cast<long>(configuration.StoreError), station.storePath);
    ReleaseInstanceLock(station);
    return Configuration::UsageStatus;
}

// The process's priority and processors, the event log (with the journal beside it) and the
// engine with its settings. Returns 0, or the exit status.
int PrepareEngine(Station &station) {
    const Configuration &configuration = station.configuration;
    const char *dataDirectory = configuration.Text(Configuration::DataDirectory);
    // The outcome is reported by the engine's own priority check and processor assignment.
    SetPriorityClass(GetCurrentProcess(), configuration.Number(Configuration::PriorityClass));
    station.configuredMask = configuration.Number(Configuration::AffinityMask);
    station.processMask = ExistingProcessors(station.configuredMask);
    SetProcessAffinityMask(GetCurrentProcess(), station.processMask);

    try {
        station.eventLog = CreateZeroed<EventLog>("QORL Data Acquisition Service EventLog", dataDirectory);
    } catch (const EventLogException &) {
        fprintf(stderr, "kestrune: cannot create the data directory %s; no acquisition started.\n",
                dataDirectory);
        return 1;
    }
    station.eventLog->Report = ReportToJournal;
    WriteProcessId(dataDirectory);
    ProcessIdPath(dataDirectory, station.pidPath, sizeof station.pidPath);

    SonicMetek3ClassAMPSerial *engine = CreateZeroed<SonicMetek3ClassAMPSerial>(
        configuration.Text(Configuration::InstrumentName), configuration.Text(Configuration::SerialNumber),
        *station.eventLog);
    engine->ComPort = configuration.PortNumber();
    snprintf(engine->PortDevice, sizeof engine->PortDevice, "%s", configuration.DevicePath());
    engine->BaudRate = configuration.Number(Configuration::BaudRate);
    // The flux periods' settings go to the engine before its archive thread starts.
    engine->FluxSettings = configuration.Flux();
    snprintf(engine->FluxFileTemplate, sizeof engine->FluxFileTemplate, "%s",
             configuration.Text(Configuration::FluxFileTemplate));
    engine->TimeStampAtStart = strcmp(configuration.Text(Configuration::TimeStamp), "end") != 0;
    station.engine = engine;
    return 0;
}

// The entries about how the start went before the engine: a store set aside, processors missing.
void LogStartNotes(const Station &station) {
    const SonicMetek3ClassAMPSerial &engine = *station.engine;
    if (station.storeAside[0] != '\0') {
        char message[3 * MAX_PATH];
        snprintf(message, sizeof message, EventCode::RegistryStoreSetAside.Formats[0], engine.Name,
                 station.storePath, static_cast<long>(station.configuration.StoreError), station.storeAside);
        station.eventLog->Write(EventCode::RegistryStoreSetAside, message);
    }
    if (station.processMask != station.configuredMask) {
        char message[300];
        snprintf(message, sizeof message, EventCode::ProcessorFallback.Formats[1], engine.Name,
                 static_cast<unsigned long>(station.configuredMask),
                 static_cast<unsigned long>(station.processMask));
        station.eventLog->Write(EventCode::ProcessorFallback, message);
    }
}

// Starts the engine and, when that succeeded, the archive engine; from here a stop request
// stops this engine. Returns 0, or the exit status of a service whose start failed.
int StartStation(Station &station) {
    const Configuration &configuration = station.configuration;
    SonicMetek3ClassAMPSerial *engine = station.engine;
    Notifier = new ServiceNotifier(*engine, configuration.PortName().c_str());
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
        char message[MAX_PATH + 200];
        snprintf(message, sizeof message, EventCode::PortNeverAppeared.Formats[0], engine->Name,
                 configuration.PortName().c_str(),
                 static_cast<unsigned long>(WindowsService::PortWaitAtStart / 1000),
                 WindowsService::PortMissingStatus);
        station.eventLog->Write(EventCode::PortNeverAppeared, message);
        StopOnce();
        DeleteFileA(station.pidPath);
        return WindowsService::PortMissingStatus;
    }
    if (started == 0) {
        snprintf(engine->RegistryKeyPath, sizeof engine->RegistryKeyPath, "%s\\%s",
                 Configuration::ParameterKey, engine->Name);
        engine->StartArchiveEngine(static_cast<WORD>(configuration.Number(Configuration::RawTimeKeyFormat)),
                                   static_cast<WORD>(configuration.Number(Configuration::RawTimeKeyEnabled)),
                                   static_cast<WORD>(configuration.Number(Configuration::QualityControl)),
                                   configuration.Text(Configuration::RawArchiveDirectory),
                                   configuration.Text(Configuration::RawFileTemplate),
                                   configuration.Text(Configuration::StatsArchiveDirectory),
                                   configuration.Text(Configuration::StatsFileTemplate),
                                   configuration.Number(Configuration::BlackoutPeriod),
                                   configuration.Number(Configuration::RawArchivePeriod),
                                   configuration.Number(Configuration::StatsArchivePeriod),
                                   static_cast<WORD>(configuration.Number(Configuration::FileCompression)),
                                   configuration.Number(Configuration::CompressionAge));
        Notifier->Ready();
        WindowsService::Running();
    } else if (configuration.AsService) {
        StopOnce();  // a service whose start failed ends, with the status of a failed start
        DeleteFileA(station.pidPath);
        return StartFailedStatus;
    }
    if (StopLock != nullptr)
        ReleaseMutex(StopLock);
    return 0;
}

// Runs until a control event has stopped the engine, or for the run length asked for,
// checking the threads' health for the service manager's watchdog on the way.
void RunUntilStopped(const Station &station) {
    if (StoppedEvent == nullptr)
        Sleep(INFINITE);
    // The clock's synchronisation is watched from here, never from the engine thread.
    ClockWatch clock(*station.eventLog, station.engine->Name);
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
}

// After the stop: the pid file goes, and the run's named objects end with it, so that
// /dev/shm keeps no entry of a stopped root: the log's mutex (an unnamed one stands in for a
// late entry) and the directory's lock. Every thread that wrote entries has ended with the stop.
void EndRun(Station &station) {
    DeleteFileA(station.pidPath);
    if (StopLock != nullptr)
        WaitForSingleObject(StopLock, INFINITE);
    HANDLE logMutex = station.eventLog->DiskWriteMutex;
    station.eventLog->DiskWriteMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (logMutex != nullptr)
        CloseHandle(logMutex);
    ReleaseInstanceLock(station);
}

// The program's run: in a console, or as the service (--service).
int RunStation(int argc, char **argv) {
    Station station;
    if (!LoadConfiguration(station, argc, argv))
        return Configuration::UsageStatus;
    bool handled = false;
    const int commandStatus = RunCommand(station.configuration, &handled);
    if (handled)
        return commandStatus;
    int status = ClaimDataDirectory(station);
    if (status == 0)
        status = PrepareEngine(station);
    if (status != 0)
        return status;
    LogStartNotes(station);
    status = StartStation(station);
    if (status != 0)
        return status;
    RunUntilStopped(station);
    EndRun(station);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (WindowsService::Requested(argc, argv))
        return WindowsService::Dispatch(argc, argv, RunStation, StopOnce);
    return RunStation(argc, argv);
}
