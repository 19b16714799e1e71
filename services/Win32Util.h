// Small Win32 helpers shared by the engine, the instrument and the support libraries.
#pragma once

#include "platform/win32.h"

// FILETIME arithmetic: 100-ns units since 1 January 1601, UTC, as one 64-bit number.
constexpr ULONGLONG FileTimeUnitsPerSecond = 10000000ULL;

inline ULONGLONG FileTimeToUnits(const FILETIME &time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline FILETIME UnitsToFileTime(ULONGLONG units) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(units & 0xFFFFFFFFULL);
    time.dwHighDateTime = static_cast<DWORD>(units >> 32);
    return time;
}

// Whether the object is signalled now, without waiting. A signalled auto-reset event is
// consumed by the test.
inline bool IsSignalled(HANDLE object) {
    return object && WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
}
