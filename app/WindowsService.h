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
// directory in use; 3: the engine did not start).
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

    // The line describing a failed call of the control manager's API with its error code.
    static void Describe(const char *what, DWORD error, char *text, size_t size);
};
