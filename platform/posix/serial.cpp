// PENDING: placeholder
// Serial ports on POSIX; the serial service replaces this file.
#include "platform/posix/handles_internal.h"

HANDLE KestruneOpenDevice(LPCSTR, DWORD, DWORD, DWORD, DWORD) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}
