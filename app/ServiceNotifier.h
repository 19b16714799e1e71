// Tells a service manager how the program is doing: ready once the engine has started,
// stopping when a stop begins, and, while a watchdog is asked for, a sign of life at every
// check at which both threads are healthy. A check at which a thread is not sends no sign
// of life, only a status line saying what stalled, so the manager restarts a program that
// hangs.
//
// The engine thread is healthy when it read from its port since the last check, or when it
// waits for a missing or lost port (at this check or the last one): it then sleeps between
// tries by design, and a restart would bring the port back no sooner. The archive thread is
// healthy when it ran a pass since the last check, or when it has archived every buffer the
// engine had handed over by the last check: with nothing to archive (no data while the port
// is away) it has no pass to run, and an archive that is idle is not stalled. A pass that
// hangs leaves a handed-over buffer unarchived, and the next check says so.
//
// Every message carries a STATUS= line: "Acquiring.", "Waiting for COMn (missing since
// YYYY-MM-DD hh:mm:ss UTC)." or "Stalled: ..." with what stalled (and, while the port is
// away, "; waiting for COMn (missing since ...).").
//
// Without a service manager (no notification socket; on Windows, where the service control
// manager is told otherwise) every notification is a no-op.
#pragma once

#include <string>

#include "acquisition/DataAcquisition.h"
#include "platform/win32.h"

class ServiceNotifier {
public:
    // comPort: the engine's port number, named in the status while the engine waits for it.
    ServiceNotifier(const DataAcquisition &engine, int comPort);
    // portName: the port's name as messages give it ("COM3", "/dev/ttyUSB0").
    ServiceNotifier(const DataAcquisition &engine, const char *portName);

    // The time between checks: half the watchdog interval, or INFINITE without a watchdog.
    DWORD CheckInterval() const { return CheckIntervalMs; }

    void Ready();
    void Stopping();
    // Compares the threads' progress with the last check; sends WATCHDOG=1 when both are
    // healthy. Returns the status line sent.
    std::string Check();

private:
    void Send(const std::string &state);
    // "STATUS=Waiting for <port> (missing since ...)." while the engine waits for its port,
    // else "STATUS=Acquiring.".
    std::string HealthyStatus(ULONGLONG missingSince) const;
    // "<port> (missing since YYYY-MM-DD hh:mm:ss UTC)".
    std::string PortWait(ULONGLONG missingSince) const;

    const DataAcquisition &Engine;
    char PortName[MAX_PATH] = {};
    DWORD CheckIntervalMs = INFINITE;
    DWORD LastEngineReads = 0;
    DWORD LastArchivePasses = 0;
    DWORD LastHandOvers = 0;
    bool LastWaiting = false;
};
