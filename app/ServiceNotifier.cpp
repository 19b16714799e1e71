#include "app/ServiceNotifier.h"

#include "services/Win32Util.h"

ServiceNotifier::ServiceNotifier(const DataAcquisition &engine, int comPort)
    : ServiceNotifier(engine, ("COM" + std::to_string(comPort)).c_str()) {}

ServiceNotifier::ServiceNotifier(const DataAcquisition &engine, const char *portName) : Engine(engine) {
    snprintf(PortName, sizeof PortName, "%s", portName);
    const DWORD watchdog = KestruneServiceWatchdogMilliseconds();
    if (watchdog != 0)
        CheckIntervalMs = watchdog / 2 > 0 ? watchdog / 2 : 1;
    LastEngineReads = Engine.EngineReads.load(std::memory_order_relaxed);
    LastArchivePasses = Engine.ArchivePasses.load(std::memory_order_relaxed);
    LastHandOvers = Engine.BufferHandOvers.load(std::memory_order_relaxed);
    LastWaiting = Engine.PortMissingSince.load(std::memory_order_relaxed) != 0;
}

void ServiceNotifier::Send(const std::string &state) {
    // A failed notification changes nothing in the acquisition; the manager's own timeouts
    // notice a program that cannot tell it anything.
    KestruneNotifyServiceManager(state.c_str());
}

std::string ServiceNotifier::PortWait(ULONGLONG missingSince) const {
    const FILETIME since = UnitsToFileTime(missingSince);
    SYSTEMTIME at = {};
    FileTimeToSystemTime(&since, &at);
    char text[MAX_PATH + 80];
    snprintf(text, sizeof text, "%s (missing since %04d-%02d-%02d %02d:%02d:%02d UTC)", PortName, at.wYear,
             at.wMonth, at.wDay, at.wHour, at.wMinute, at.wSecond);
    return text;
}

std::string ServiceNotifier::HealthyStatus(ULONGLONG missingSince) const {
    return missingSince == 0 ? "STATUS=Acquiring." : "STATUS=Waiting for " + PortWait(missingSince) + ".";
}

void ServiceNotifier::Ready() {
    Send("READY=1\n" + HealthyStatus(Engine.PortMissingSince.load(std::memory_order_relaxed)));
}

void ServiceNotifier::Stopping() {
    Send("STOPPING=1\nSTATUS=Stopping: archiving the last samples.");
}

std::string ServiceNotifier::Check() {
    const ULONGLONG missingSince = Engine.PortMissingSince.load(std::memory_order_relaxed);
    const DWORD reads = Engine.EngineReads.load(std::memory_order_relaxed);
    const DWORD passes = Engine.ArchivePasses.load(std::memory_order_relaxed);
    const DWORD handOvers = Engine.BufferHandOvers.load(std::memory_order_relaxed);
    const bool waiting = missingSince != 0;
    // Waiting at the last check covers a port that came back since, before its first read.
    const bool engineHealthy = reads != LastEngineReads || waiting || LastWaiting;
    // Counters wrap around: compared by their difference.
    const bool archiveCaughtUp = static_cast<LONG>(passes - LastHandOvers) >= 0;
    const bool archiveHealthy = passes != LastArchivePasses || archiveCaughtUp;
    LastEngineReads = reads;
    LastArchivePasses = passes;
    LastHandOvers = handOvers;
    LastWaiting = waiting;
    std::string status;
    if (engineHealthy && archiveHealthy)
        status = HealthyStatus(missingSince);
    else if (!engineHealthy && !archiveHealthy)
        status = "STATUS=Stalled: no port read and no archive pass since the last check.";
    else if (!engineHealthy)
        status = "STATUS=Stalled: no port read since the last check.";
    else if (!waiting)
        status = "STATUS=Stalled: no archive pass since the last check.";
    else
        status = "STATUS=Stalled: no archive pass since the last check; waiting for " +
                 PortWait(missingSince) + ".";
    Send(engineHealthy && archiveHealthy ? "WATCHDOG=1\n" + status : status);
    return status;
}
