#include "app/ServiceNotifier.h"

ServiceNotifier::ServiceNotifier(const DataAcquisition &engine) : Engine(engine) {
    const DWORD watchdog = KestruneServiceWatchdogMilliseconds();
    if (watchdog != 0)
        CheckIntervalMs = watchdog / 2 > 0 ? watchdog / 2 : 1;
    LastEngineReads = Engine.EngineReads.load(std::memory_order_relaxed);
    LastArchivePasses = Engine.ArchivePasses.load(std::memory_order_relaxed);
}

void ServiceNotifier::Send(const std::string &state) {
    // A failed notification changes nothing in the acquisition; the manager's own timeouts
    // notice a program that cannot tell it anything.
    KestruneNotifyServiceManager(state.c_str());
}

void ServiceNotifier::Ready() {
    Send("READY=1\nSTATUS=Acquiring.");
}

void ServiceNotifier::Stopping() {
    Send("STOPPING=1\nSTATUS=Stopping: archiving the last samples.");
}

std::string ServiceNotifier::Check() {
    const DWORD reads = Engine.EngineReads.load(std::memory_order_relaxed);
    const DWORD passes = Engine.ArchivePasses.load(std::memory_order_relaxed);
    const bool engineMoved = reads != LastEngineReads;
    const bool archiveMoved = passes != LastArchivePasses;
    LastEngineReads = reads;
    LastArchivePasses = passes;
    std::string status;
    if (engineMoved && archiveMoved)
        status = "STATUS=Acquiring.";
    else if (!engineMoved && !archiveMoved)
        status = "STATUS=Stalled: no port read and no archive pass since the last check.";
    else if (!engineMoved)
        status = "STATUS=Stalled: no port read since the last check.";
    else
        status = "STATUS=Stalled: no archive pass since the last check.";
    Send(engineMoved && archiveMoved ? "WATCHDOG=1\n" + status : status);
    return status;
}
