// PENDING: placeholder
// Run-time loaded libraries on POSIX; the modules service replaces this file.
#include "platform/posix/handles_internal.h"

FARPROC KestruneModuleProcAddress(HMODULE, LPCSTR) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
