// System time, FILETIME/SYSTEMTIME conversion and the performance counter (POSIX layer).
#pragma once

#include <ctime>

#include "platform/posix/types.h"

void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME *lpSystemTime, LPFILETIME lpFileTime);
BOOL FileTimeToSystemTime(const FILETIME *lpFileTime, LPSYSTEMTIME lpSystemTime);
BOOL FileTimeToLocalFileTime(const FILETIME *lpFileTime, LPFILETIME lpLocalFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME *lpLocalFileTime, LPFILETIME lpFileTime);
LONG CompareFileTime(const FILETIME *lpFileTime1, const FILETIME *lpFileTime2);
BOOL QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount);
DWORD GetTickCount();
ULONGLONG GetTickCount64();
void Sleep(DWORD dwMilliseconds);

// The layer's own: whether the system clock is disciplined by the operating system's time
// service, from the kernel's clock discipline (ntp_adjtime, read only): Synchronised unless
// STA_UNSYNC is set or the call reports TIME_ERROR; its estimated and maximum error in
// microseconds (esterror, maxerror). Known is 0 where the system does not tell (the other
// fields are then 0). FALSE only for a null pointer.
typedef struct _KESTRUNE_CLOCK_STATE {
    DWORD Known;
    DWORD Synchronised;
    DWORD EstimatedErrorUs;
    DWORD MaximumErrorUs;
} KESTRUNE_CLOCK_STATE;
BOOL KestruneGetClockState(KESTRUNE_CLOCK_STATE *state);

// The layer's own: the local calendar time of a moment (seconds since 1970, UTC) with the
// offset in force at that moment, as the C runtime's localtime_s gives it on Windows. False
// when it has no calendar form.
bool KestruneLocalCalendarTime(time_t seconds, struct tm *local);
