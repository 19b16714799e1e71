// The service control manager's API on POSIX: there is no control manager to talk to, so
// every call sets ERROR_CALL_NOT_IMPLEMENTED and reports failure.
#include "platform/posix/servicecontrol.h"

#include "platform/posix/errors.h"

namespace {

template <typename Result>
Result NotImplemented(Result failure) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return failure;
}

}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    return NotImplemented<SC_HANDLE>(nullptr);
}

SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD,
                         LPCSTR, LPCSTR, LPCSTR) {
    return NotImplemented<SC_HANDLE>(nullptr);
}

SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
    return NotImplemented<SC_HANDLE>(nullptr);
}

BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR *) {
    return NotImplemented<BOOL>(FALSE);
}

BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    return NotImplemented<BOOL>(FALSE);
}

BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) {
    return NotImplemented<BOOL>(FALSE);
}

BOOL DeleteService(SC_HANDLE) {
    return NotImplemented<BOOL>(FALSE);
}

BOOL CloseServiceHandle(SC_HANDLE) {
    return NotImplemented<BOOL>(FALSE);
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *) {
    return NotImplemented<BOOL>(FALSE);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID) {
    return NotImplemented<SERVICE_STATUS_HANDLE>(nullptr);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) {
    return NotImplemented<BOOL>(FALSE);
}
