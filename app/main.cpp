// kestrune: the program entry. It takes no arguments and fixes the whole configuration here:
// real-time process priority on logical processor 2, the event log in the data directory,
// one uSonic-3 engine on COM1, raw archiving with hourly files, 60-second statistics, a
// 6-second blackout after each clock synchronisation, no compression. It starts the engine
// and, when that succeeded, the archive engine, then sleeps while their threads work.
#include <new>

#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/EventLog.h"

namespace {

// Builds an object in zero-filled heap storage, so that every member its constructor does
// not set starts at zero. The objects live for the whole run and are never deleted.
template <typename T, typename... Args> T *CreateZeroed(Args &&...args) {
    void *storage = ::operator new(sizeof(T));
    memset(storage, 0, sizeof(T));
    try {
        return new (storage) T(static_cast<Args &&>(args)...);
    } catch (...) {
        ::operator delete(storage);
        throw;
    }
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
    const DWORD finalSleep = 100000000;

    // The outcome is reported by the engine's own priority check and processor assignment.
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetProcessAffinityMask(GetCurrentProcess(), 4);

    EventLog *eventLog = nullptr;
    try {
        eventLog = CreateZeroed<EventLog>(eventLogName, dataDirectory);
    } catch (const EventLogException &) {
        fprintf(stderr, "kestrune: cannot create the data directory %s; no acquisition started.\n", dataDirectory);
        return 1;
    }

    SonicMetek3ClassAMPSerial *engine =
        CreateZeroed<SonicMetek3ClassAMPSerial>(instrumentName, serialNumber, *eventLog);

    if (engine->Start() == 0) {
        snprintf(engine->RegistryKeyPath, sizeof engine->RegistryKeyPath, "%s\\%s", parameterKey, engine->Name);
        engine->StartArchiveEngine(rawTimeKeyFormat, rawTimeKeyEnabled, qualityControl, rawArchiveDirectory,
                                   rawFileTemplate, statsArchiveDirectory, statsFileTemplate, blackoutPeriod,
                                   rawArchivePeriod, statsArchivePeriod, fileCompression, compressionAge);
    }

    Sleep(finalSleep);
    return 0;
}
