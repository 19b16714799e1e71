// Tells a service manager how the program is doing: ready once the engine has started,
// stopping when a stop begins, and, while a watchdog is asked for, a sign of life at every
// check in which both threads made progress (the engine read from its port and the archive
// ran a pass). A check without progress sends no sign of life, only a status line saying
// what stalled, so the manager restarts a program that hangs.
//
// Without a service manager (no notification socket; on Windows, where the service control
// manager is told otherwise) every notification is a no-op.
#pragma once

#include <string>

#include "acquisition/DataAcquisition.h"
#include "platform/win32.h"

class ServiceNotifier {
public:
    explicit ServiceNotifier(const DataAcquisition &engine);

    // The time between checks: half the watchdog interval, or INFINITE without a watchdog.
    DWORD CheckInterval() const { return CheckIntervalMs; }

    void Ready();
    void Stopping();
    // Compares the threads' progress with the last check; sends WATCHDOG=1 when both moved.
    // Returns the status line sent.
    std::string Check();

private:
    void Send(const std::string &state);

    const DataAcquisition &Engine;
    DWORD CheckIntervalMs = INFINITE;
    DWORD LastEngineReads = 0;
    DWORD LastArchivePasses = 0;
};
