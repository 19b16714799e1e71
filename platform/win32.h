// The one platform header of the product code.
//
// On Windows it brings in <windows.h> and the C runtime headers the program uses. Elsewhere
// it declares the POSIX platform layer (platform/posix), which implements the same Win32
// subset with the same names, types, constants, error codes and semantics.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// <windows.h> comes first, in a block of its own.
#include <windows.h>

#include <process.h>
#include <share.h>
#include <string.h>
#include <time.h>
// The POSIX layer maps Windows paths onto its root folder (platform/posix/files.h); here a
// path is already the system's own, so it is copied as it is. False when it does not fit.
inline bool KestruneMapPath(const char *windowsPath, char *posixPath, size_t capacity) {
    if (windowsPath == nullptr || posixPath == nullptr || capacity == 0)
        return false;
    const size_t length = strlen(windowsPath);
    if (length + 1 > capacity) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(posixPath, windowsPath, length + 1);
    return true;
}
// The local calendar time of a moment, with the offset in force at that moment (the C
// runtime's localtime_s; POSIX has localtime_r, platform/posix/time.h).
inline bool KestruneLocalCalendarTime(time_t seconds, struct tm *local) {
    return local != nullptr && localtime_s(local, &seconds) == 0;
}
// The POSIX layer tells when each event character arrived at a serial port (see
// platform/posix/serial.h); the Windows driver does not, so callers take their own reading.
inline DWORD KestruneGetCommArrivalTimes(HANDLE, LARGE_INTEGER *, DWORD) {
    return 0;
}
// Nor the arrival of each chunk of bytes: callers estimate from their own wake-up reading and
// what the driver still holds queued.
typedef struct _KESTRUNE_COMM_CHUNK {
    DWORD Bytes;
    LARGE_INTEGER Arrival;
} KESTRUNE_COMM_CHUNK;
inline DWORD KestruneGetCommChunkTimes(HANDLE, KESTRUNE_COMM_CHUNK *, DWORD) {
    return 0;
}
// A USB adapter's latency is a setting of its driver's that the program cannot read here:
// reported as nothing known.
typedef struct _KESTRUNE_COMM_LATENCY {
    DWORD LowLatencyRefused;
    DWORD LatencyTimerMs;
} KESTRUNE_COMM_LATENCY;
inline BOOL KestruneGetCommLatency(HANDLE, KESTRUNE_COMM_LATENCY *latency) {
    if (latency == nullptr)
        return FALSE;
    latency->LowLatencyRefused = 0;
    latency->LatencyTimerMs = 0;
    return TRUE;
}
// The POSIX layer's registry store can be held locked by another program, so a thread may
// bound its waits for it (platform/posix/registry.h). The Windows registry never makes a
// call wait for another program's lock, so there is nothing to bound.
inline DWORD KestruneSetRegistryWaitLimit(DWORD) {
    return 0;
}
// The POSIX layer's store is one file that can be damaged and set aside
// (platform/posix/registry.h). The Windows registry is the system's own: its file is not
// the program's to name or move.
inline DWORD KestruneRegistryStorePath(char *, DWORD) {
    return 0;
}
inline DWORD KestruneSetRegistryStoreAside(const char *, char *, DWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
// Service-manager notifications are systemd's (platform/posix/service.h); on Windows the
// service control manager is told through its own API, so there is nothing to send.
// Windows keeps the state of its time service to itself (w32tm shows it; no documented call
// returns it), so the clock's synchronisation is reported as unknown.
typedef struct _KESTRUNE_CLOCK_STATE {
    DWORD Known;
    DWORD Synchronised;
    DWORD EstimatedErrorUs;
    DWORD MaximumErrorUs;
} KESTRUNE_CLOCK_STATE;
inline BOOL KestruneGetClockState(KESTRUNE_CLOCK_STATE *state) {
    if (state == nullptr)
        return FALSE;
    state->Known = state->Synchronised = state->EstimatedErrorUs = state->MaximumErrorUs = 0;
    return TRUE;
}
inline DWORD KestruneNotifyServiceManager(const char *) {
    return 0;
}
inline DWORD KestruneServiceWatchdogMilliseconds() {
    return 0;
}
// On Windows the program's event-log file is the record; the system's event log is not
// written (the service has no message file registered), so there is nothing to report to.
inline DWORD KestruneReportEvent(WORD, DWORD, const char *) {
    return 0;
}
// A port name is its own device on Windows; there is no other name to show.
inline bool KestruneCommDevicePath(const char *, char *, size_t) {
    return false;
}
inline bool KestruneIsNativePath(const char *) {
    return false;
}
// Windows keeps the station's configuration in the registry: there is no folder of options
// files (KESTRUNE_SYSCONFDIR still names one where it is set).
inline const char *KestruneSystemConfigurationFolder() {
    return nullptr;
}
#else
#include "platform/posix/console.h"
#include "platform/posix/errors.h"
#include "platform/posix/files.h"
#include "platform/posix/mapping.h"
#include "platform/posix/modules.h"
#include "platform/posix/registry.h"
#include "platform/posix/serial.h"
#include "platform/posix/service.h"
#include "platform/posix/servicecontrol.h"
#include "platform/posix/sync.h"
#include "platform/posix/threads.h"
#include "platform/posix/time.h"
#include "platform/posix/types.h"
#endif

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
