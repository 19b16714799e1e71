// Processes, priorities, affinity and processor information on POSIX.
#include <unistd.h>

#include "platform/posix/handles_internal.h"

namespace kestrune {
void ApplyNewThreadScheduling() {}
} // namespace kestrune

BOOL SetThreadPriority(HANDLE, int) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
int GetThreadPriority(HANDLE) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return THREAD_PRIORITY_ERROR_RETURN; }
DWORD_PTR SetThreadAffinityMask(HANDLE, DWORD_PTR) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL SetPriorityClass(HANDLE, DWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
DWORD GetPriorityClass(HANDLE) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
BOOL SetProcessAffinityMask(HANDLE, DWORD_PTR) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
BOOL GetProcessAffinityMask(HANDLE, PDWORD_PTR, PDWORD_PTR) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
BOOL GetLogicalProcessorInformation(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
HMODULE GetModuleHandleA(LPCSTR) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
FARPROC GetProcAddress(HMODULE m, LPCSTR n) { return KestruneModuleProcAddress(m, n); }
DWORD GetModuleFileNameA(HMODULE, LPSTR, DWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return 0; }
