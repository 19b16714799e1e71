#include "app/WindowsService.h"

const char WindowsService::Name[] = "QORL Data Acquisition";

namespace {

const char DisplayName[] = "QORL Data Acquisition";

// The service's state, shared between the service thread, the control handler (on the
// dispatcher's thread) and the stopping thread; every report goes out under ReportLock.
struct ServiceState {
    int Argc = 0;
    char **Argv = nullptr;
    WindowsService::RunFunction Run = nullptr;
    WindowsService::StopFunction Stop = nullptr;
    SERVICE_STATUS_HANDLE Handle = nullptr;
    SERVICE_STATUS Status = {};
    HANDLE ReportLock = nullptr;
    bool Stopping = false;
    int RunStatus = 0;
};

ServiceState State;

void Report(DWORD currentState, DWORD waitHint, DWORD exitStatus) {
    if (State.Handle == nullptr)
        return;
    WaitForSingleObject(State.ReportLock, INFINITE);
    if (!(State.Stopping && currentState != SERVICE_STOP_PENDING && currentState != SERVICE_STOPPED)) {
        SERVICE_STATUS &status = State.Status;
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwControlsAccepted =
            currentState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        if (currentState == SERVICE_STOPPED && exitStatus != 0) {
            status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            status.dwServiceSpecificExitCode = exitStatus;
        } else {
            status.dwWin32ExitCode = 0;
            status.dwServiceSpecificExitCode = 0;
        }
        const bool pending = currentState == SERVICE_START_PENDING || currentState == SERVICE_STOP_PENDING;
        // The checkpoint counts the reports of one pending state.
        status.dwCheckPoint = !pending                                ? 0
                              : status.dwCurrentState == currentState ? status.dwCheckPoint + 1
                                                                      : 1;
        status.dwCurrentState = currentState;
        status.dwWaitHint = pending ? waitHint : 0;
        SetServiceStatus(State.Handle, &status);
    }
    ReleaseMutex(State.ReportLock);
}

// Runs the orderly stop on a thread of its own.
unsigned __stdcall StopThread(void *) {
    State.Stop();
    return 0;
}

// Carries out a stop or shutdown control: starts the orderly stop and reports stop-pending
// with a new checkpoint at every half wait hint until it has completed. The service thread
// reports the service stopped once the run has returned.
unsigned __stdcall StoppingThread(void *) {
    HANDLE stopper = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, StopThread, nullptr, 0, nullptr));
    if (stopper == nullptr) {
        State.Stop();
        return 0;
    }
    while (WaitForSingleObject(stopper, WindowsService::StopWaitHint / 2) == WAIT_TIMEOUT)
        Report(SERVICE_STOP_PENDING, WindowsService::StopWaitHint, 0);
    CloseHandle(stopper);
    return 0;
}

DWORD WINAPI OnControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            // From here only stop-pending and stopped are reported.
            WaitForSingleObject(State.ReportLock, INFINITE);
            const bool already = State.Stopping;
            State.Stopping = true;
            ReleaseMutex(State.ReportLock);
            if (already)
                return NO_ERROR;
            Report(SERVICE_STOP_PENDING, WindowsService::StopWaitHint, 0);
            HANDLE thread =
                reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, StoppingThread, nullptr, 0, nullptr));
            if (thread == nullptr)
                State.Stop();  // the control waits for the stop rather than missing it
            else
                CloseHandle(thread);
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR *) {
    State.Handle = RegisterServiceCtrlHandlerExA(WindowsService::Name, OnControl, nullptr);
    if (State.Handle == nullptr) {
        State.RunStatus = WindowsService::CommandFailedStatus;
        return;
    }
    Report(SERVICE_START_PENDING, WindowsService::StartWaitHint, 0);
    State.RunStatus = State.Run(State.Argc, State.Argv);
    WaitForSingleObject(State.ReportLock, INFINITE);
    State.Stopping = true;
    ReleaseMutex(State.ReportLock);
    Report(SERVICE_STOPPED, 0, static_cast<DWORD>(State.RunStatus));
}

// Opens the control manager and, unless verb is "install", the service; writes the line of
// a failure and returns false.
bool Open(const char *verb, DWORD managerAccess, DWORD serviceAccess, SC_HANDLE *manager,
          SC_HANDLE *service) {
    char text[400];
    *manager = OpenSCManagerA(nullptr, nullptr, managerAccess);
    if (*manager == nullptr) {
        const DWORD error = GetLastError();
        char what[100];
        snprintf(what, sizeof what, "service %s: cannot open the service control manager", verb);
        WindowsService::Describe(what, error, text, sizeof text);
        fprintf(stderr, "%s\n", text);
        return false;
    }
    if (service == nullptr)
        return true;
    *service = OpenServiceA(*manager, WindowsService::Name, serviceAccess);
    if (*service == nullptr) {
        const DWORD error = GetLastError();
        char what[100];
        snprintf(what, sizeof what, "service %s: cannot open the service \"%s\"", verb, WindowsService::Name);
        WindowsService::Describe(what, error, text, sizeof text);
        fprintf(stderr, "%s\n", text);
        CloseServiceHandle(*manager);
        return false;
    }
    return true;
}

int Fail(const char *what, SC_HANDLE service, SC_HANDLE manager) {
    const DWORD error = GetLastError();
    char text[400];
    WindowsService::Describe(what, error, text, sizeof text);
    fprintf(stderr, "%s\n", text);
    if (service != nullptr)
        CloseServiceHandle(service);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return WindowsService::CommandFailedStatus;
}

// Follows a pending state the way the control manager's clients do: while the service makes
// progress (a new checkpoint within each wait hint) it waits, asking again after a tenth of the
// hint (a quarter to two seconds). Returns false with ERROR_SERVICE_REQUEST_TIMEOUT when the
// service stopped making progress, or with the query's error.
bool WaitWhilePending(SC_HANDLE service, DWORD pending, SERVICE_STATUS *status) {
    if (!QueryServiceStatus(service, status))
        return false;
    ULONGLONG progressAt = GetTickCount64();
    DWORD checkPoint = status->dwCheckPoint;
    while (status->dwCurrentState == pending) {
        DWORD hint = status->dwWaitHint == 0 ? 10000 : status->dwWaitHint;
        DWORD pause = hint / 10;
        pause = pause < 250 ? 250 : (pause > 2000 ? 2000 : pause);
        Sleep(pause);
        if (!QueryServiceStatus(service, status))
            return false;
        if (status->dwCheckPoint != checkPoint) {
            checkPoint = status->dwCheckPoint;
            progressAt = GetTickCount64();
        } else if (status->dwCurrentState == pending && GetTickCount64() - progressAt > hint) {
            SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return false;
        }
    }
    return true;
}

// What the service's own exit code says.
const char *ExitMeaning(DWORD code) {
    switch (code) {
        case 1:
            return "the data directory cannot be created";
        case 2:
            return "a bad configuration value, or the data directory is in use by another kestrune";
        case 3:
            return "the acquisition engine did not start";
        case WindowsService::PortMissingStatus:
            return "the instrument's port did not appear (see 5303 and 5305 in the event log in the data "
                   "directory)";
        default:
            return "see the event log in the data directory";
    }
}

// Tells how a service that should be running ended; returns CommandFailedStatus.
int Ended(const char *verb, const SERVICE_STATUS &status, SC_HANDLE service, SC_HANDLE manager) {
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        fprintf(stderr, "kestrune: service %s: the service stopped with its exit code %lu: %s.\n", verb,
                static_cast<unsigned long>(status.dwServiceSpecificExitCode),
                ExitMeaning(status.dwServiceSpecificExitCode));
    else
        fprintf(stderr, "kestrune: service %s: the service stopped (error %lu).\n", verb,
                static_cast<unsigned long>(status.dwWin32ExitCode));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return WindowsService::CommandFailedStatus;
}

int Install() {
    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program)
        return Fail("service install: cannot find the program's own path", nullptr, nullptr);
    char command[MAX_PATH + 16];
    snprintf(command, sizeof command, "\"%s\" --service", program);
    SC_HANDLE manager = nullptr;
    if (!Open("install", SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, 0, &manager, nullptr))
        return WindowsService::CommandFailedStatus;
    SC_HANDLE service = CreateServiceA(manager, WindowsService::Name, DisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       command, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr)
        return Fail("service install: cannot create the service", nullptr, manager);
    printf("kestrune: installed the service \"%s\" (%s), started automatically at boot.\n",
           WindowsService::Name, command);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int Uninstall() {
    SC_HANDLE manager = nullptr, service = nullptr;
    if (!Open("uninstall", SC_MANAGER_CONNECT, DELETE | SERVICE_QUERY_STATUS, &manager, &service))
        return WindowsService::CommandFailedStatus;
    if (!DeleteService(service))
        return Fail("service uninstall: cannot delete the service", service, manager);
    printf("kestrune: uninstalled the service \"%s\".\n", WindowsService::Name);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int Start() {
    SC_HANDLE manager = nullptr, service = nullptr;
    if (!Open("start", SC_MANAGER_CONNECT, SERVICE_START | SERVICE_QUERY_STATUS, &manager, &service))
        return WindowsService::CommandFailedStatus;
    if (!StartServiceA(service, 0, nullptr))
        return Fail("service start: cannot start the service", service, manager);
    SERVICE_STATUS status = {};
    if (!WaitWhilePending(service, SERVICE_START_PENDING, &status))
        return Fail("service start: the service was started but did not report running", service, manager);
    if (status.dwCurrentState != SERVICE_RUNNING)
        return Ended("start", status, service, manager);
    printf("kestrune: the service \"%s\" is running.\n", WindowsService::Name);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int Stop() {
    SC_HANDLE manager = nullptr, service = nullptr;
    if (!Open("stop", SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager, &service))
        return WindowsService::CommandFailedStatus;
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
        return Fail("service stop: cannot stop the service", service, manager);
    if (!WaitWhilePending(service, SERVICE_STOP_PENDING, &status))
        return Fail("service stop: the service was asked to stop but did not report stopped", service,
                    manager);
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        return Ended("stop", status, service, manager);
    printf("kestrune: the service \"%s\" has stopped.\n", WindowsService::Name);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

}  // namespace

void WindowsService::Describe(const char *what, DWORD error, char *text, size_t size) {
    const char *reason = nullptr;
    switch (error) {
        case ERROR_ACCESS_DENIED:
            reason = "administrator rights are needed; run it from an elevated prompt";
            break;
        case ERROR_CALL_NOT_IMPLEMENTED:
            reason =
                "there is no Windows service control manager on this system (on Linux use the systemd unit)";
            break;
        case ERROR_SERVICE_EXISTS:
            reason = "the service is installed already";
            break;
        case ERROR_SERVICE_DOES_NOT_EXIST:
            reason = "the service is not installed";
            break;
        case ERROR_SERVICE_ALREADY_RUNNING:
            reason = "the service is running already";
            break;
        case ERROR_SERVICE_NOT_ACTIVE:
            reason = "the service is not running";
            break;
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            reason = "the service is marked for deletion; it goes once stopped and no longer open";
            break;
        case ERROR_SERVICE_SPECIFIC_ERROR:
            reason = "the service ended with an error of its own; see the event log in the data directory";
            break;
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            reason = "the service did not answer in time";
            break;
        case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
            reason = "--service is for the service control manager; use kestrune service start";
            break;
        default:
            reason = "see the system's error text for this code";
            break;
    }
    snprintf(text, size, "kestrune: %s (error %lu): %s.", what, static_cast<unsigned long>(error), reason);
}

int WindowsService::Command(const char *verb) {
    if (strcmp(verb, "install") == 0)
        return Install();
    if (strcmp(verb, "uninstall") == 0)
        return Uninstall();
    if (strcmp(verb, "start") == 0)
        return Start();
    if (strcmp(verb, "stop") == 0)
        return Stop();
    fprintf(stderr, "kestrune: service needs one of install, uninstall, start, stop.\n");
    return CommandFailedStatus;
}

bool WindowsService::Requested(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--service") == 0)
            return true;
    return false;
}

int WindowsService::Dispatch(int argc, char **argv, RunFunction run, StopFunction stop) {
    State.Argc = argc;
    State.Argv = argv;
    State.Run = run;
    State.Stop = stop;
    State.ReportLock = CreateMutexA(nullptr, FALSE, nullptr);
    char name[sizeof Name];
    snprintf(name, sizeof name, "%s", Name);
    const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (State.ReportLock == nullptr || !StartServiceCtrlDispatcherA(table)) {
        const DWORD error = GetLastError();
        char text[400];
        Describe("--service: cannot connect to the service control manager", error, text, sizeof text);
        fprintf(stderr, "%s\n", text);
        return CommandFailedStatus;
    }
    return State.RunStatus;
}

void WindowsService::Running() {
    Report(SERVICE_RUNNING, 0, 0);
}

bool WindowsService::UnderControlManager() {
    return State.Handle != nullptr;
}

bool WindowsService::WaitReporting(HANDLE ready, DWORD boundMs, DWORD stepMs, ProgressFunction progress,
                                   void *context) {
    if (stepMs == 0)
        stepMs = 1;
    DWORD waited = 0;
    for (;;) {
        const DWORD left = boundMs - waited;
        const DWORD step = left < stepMs ? left : stepMs;
        const DWORD result = WaitForSingleObject(ready, step);
        if (result == WAIT_OBJECT_0)
            return true;
        if (result != WAIT_TIMEOUT)
            return false;  // an unusable handle: nothing would ever signal it
        waited += step;
        if (waited >= boundMs)
            return false;
        if (progress != nullptr)
            progress(context);
    }
}

namespace {

void ReportStartPending(void *) {
    Report(SERVICE_START_PENDING, WindowsService::StartWaitHint, 0);
}

}  // namespace

bool WindowsService::AwaitStart(HANDLE ready) {
    if (!UnderControlManager())
        return true;
    return WaitReporting(ready, PortWaitAtStart, StartWaitHint / 3, ReportStartPending, nullptr);
}
