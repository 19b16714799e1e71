// The program as a Windows service, "QORL Data Acquisition".
//
// "kestrune service install|uninstall|start|stop" registers, removes, starts and stops the
// service through the service control manager; the service runs "kestrune --service".
// Under the control manager the program reports start-pending while it starts, running once
// the engine's Start returned, and answers the stop and shutdown controls with the orderly
// stop, reporting stop-pending with a rising checkpoint until it has ended. A run that ends
// with a non-zero status (a bad configuration, a start that failed) is reported as a
// service-specific error carrying that status. "service start" and "service stop" wait while
// the service reports progress and say how it ended up: running, stopped, or stopped with its
// exit code (1: the data directory cannot be created; 2: a bad configuration value or the data
// directory in use; 3: the engine did not start; 4: the instrument's port did not appear).
//
// A port that is missing when the service starts is waited for while the service reports
// start-pending, with a new checkpoint at every third of the wait hint, for at most
// PortWaitAtStart: a port that appears within it (an adapter still being set up at boot)
// starts acquisition, one that does not ends the start as failed with code 4, so that the
// control manager, and whoever started the service, learn that it is not acquiring. A port
// lost once the service runs is waited for as in a console, however long it stays away.
//
// Where there is no service control manager (the POSIX layer), every command fails with a
// message saying so, and --service ends at once.
#pragma once

#include "platform/win32.h"

class WindowsService {
public:
    // The service's name in the control manager.
    static const char Name[];
    // Exit status of a service command that failed, and of --service outside the manager.
    static constexpr int CommandFailedStatus = 1;
    // How long the control manager is told to wait for the next report while the service
    // starts and while it stops.
    static constexpr DWORD StartWaitHint = 30000;
    static constexpr DWORD StopWaitHint = 20000;
    // How long a port missing at the start is waited for under the control manager.
    static constexpr DWORD PortWaitAtStart = 60000;
    // Service-specific exit code of a start whose port did not appear within PortWaitAtStart.
    static constexpr int PortMissingStatus = 4;

    // The program's run, called with the process's arguments; its status is the exit code.
    typedef int (*RunFunction)(int argc, char **argv);
    // The orderly stop; it returns once the stop has completed.
    typedef void (*StopFunction)();

    // Carries out a service command ("install", "uninstall", "start", "stop"), writes one line
    // saying what was done or why it failed, and returns the exit status (0 or
    // CommandFailedStatus).
    static int Command(const char *verb);

    // Whether the arguments ask to run under the control manager (--service).
    static bool Requested(int argc, char **argv);

    // Hands the process to the control manager, which calls run as the service and stop on
    // the stop and shutdown controls. Returns the run's status, or CommandFailedStatus when
    // the process was not started by the control manager.
    static int Dispatch(int argc, char **argv, RunFunction run, StopFunction stop);

    // Reports the service running; the run calls it once the engine started. Does nothing
    // outside the control manager.
    static void Running();

    // Whether the process runs as the service under the control manager.
    static bool UnderControlManager();

    // Waits until `ready` is signalled, for at most PortWaitAtStart, reporting start-pending
    // with a new checkpoint at every third of the start wait hint. Returns whether it was
    // signalled; true at once outside the control manager.
    static bool AwaitStart(HANDLE ready);

    // The wait of AwaitStart with its bound and step as arguments: waits on `ready` in steps
    // of at most stepMs until boundMs have been waited, calling progress(context) after each
    // step that ended without the signal, except the last. Returns whether `ready` was
    // signalled.
    typedef void (*ProgressFunction)(void *context);
    static bool WaitReporting(HANDLE ready, DWORD boundMs, DWORD stepMs, ProgressFunction progress,
                              void *context);

    // The line describing a failed call of the control manager's API with its error code.
    static void Describe(const char *what, DWORD error, char *text, size_t size);
};
