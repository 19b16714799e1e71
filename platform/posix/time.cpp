// Time on POSIX. FILETIME counts 100 ns intervals since 1601-01-01 UTC; the system time
// comes from CLOCK_REALTIME. Calendar conversions use the proleptic Gregorian calendar
// (civil-from-days arithmetic), so they hold for every date a FILETIME can express.
// FileTimeToLocalFileTime / LocalFileTimeToFileTime apply the process time zone's current
// offset from UTC (daylight saving included), as Windows applies its current bias, not
// the offset in force at the converted instant.
// The performance counter is CLOCK_MONOTONIC at 10 MHz (100 ns ticks, the frequency
// current Windows reports); at that rate counter * 1000 stays within 64 bits for
// 29 years of uptime. GetTickCount uses CLOCK_BOOTTIME: it keeps counting through suspend,
// as Windows' tick count does.
// KestruneGetClockState reads the kernel's clock discipline with ntp_adjtime and modes 0,
// which changes nothing and needs no privilege.
#include <sched.h>
#include <sys/timex.h>
#include <time.h>

#include <cerrno>

#include "platform/posix/handles_internal.h"

namespace {
const ULONGLONG kTicksPerSecond = 10000000ULL;
const ULONGLONG kTicksPerMillisecond = 10000ULL;
const ULONGLONG kTicksPerDay = 864000000000ULL;
// Seconds from 1601-01-01 to 1970-01-01.
const ULONGLONG kUnixEpochSeconds = 11644473600ULL;
// 1601-01-01 lies 134774 days before 1970-01-01.
const int64_t kDays1601To1970 = 134774;

bool IsLeap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a civil date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t &y, unsigned &m, unsigned &d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

ULONGLONG ToTicks(const FILETIME &ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void FromTicks(ULONGLONG ticks, FILETIME &ft) {
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

ULONGLONG NowTicks() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<ULONGLONG>(now.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond +
           static_cast<ULONGLONG>(now.tv_nsec) / 100;
}

void TicksToSystemTime(ULONGLONG ticks, SYSTEMTIME &st) {
    const int64_t days = static_cast<int64_t>(ticks / kTicksPerDay);
    ULONGLONG rest = ticks % kTicksPerDay;
    int64_t year;
    unsigned month, day;
    CivilFromDays(days - kDays1601To1970, year, month, day);
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st.wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    rest %= 3600 * kTicksPerSecond;
    st.wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond));
    rest %= 60 * kTicksPerSecond;
    st.wSecond = static_cast<WORD>(rest / kTicksPerSecond);
    rest %= kTicksPerSecond;
    st.wMilliseconds = static_cast<WORD>(rest / kTicksPerMillisecond);
}

// The process time zone's current offset from UTC, in 100 ns ticks (east positive).
LONGLONG CurrentUtcOffsetTicks() {
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local))
        return 0;
    return static_cast<LONGLONG>(local.tm_gmtoff) * static_cast<LONGLONG>(kTicksPerSecond);
}

bool ShiftFileTime(const FILETIME *in, LPFILETIME out, LONGLONG offset) {
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const LONGLONG ticks = static_cast<LONGLONG>(ToTicks(*in));
    if (ticks < 0 || (offset < 0 && ticks < -offset) || (offset > 0 && ticks > INT64_MAX - offset)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    FromTicks(static_cast<ULONGLONG>(ticks + offset), *out);
    return true;
}
}  // namespace

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (lpSystemTime)
        TicksToSystemTime(NowTicks(), *lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (lpSystemTime)
        TicksToSystemTime(NowTicks() + CurrentUtcOffsetTicks(), *lpSystemTime);
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (lpSystemTimeAsFileTime)
        FromTicks(NowTicks(), *lpSystemTimeAsFileTime);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME *lpSystemTime, LPFILETIME lpFileTime) {
    if (!lpSystemTime || !lpFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME &st = *lpSystemTime;
    // wDayOfWeek is ignored, as on Windows.
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
        st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDays1601To1970;
    const ULONGLONG ticks =
        static_cast<ULONGLONG>(days) * kTicksPerDay +
        (static_cast<ULONGLONG>(st.wHour) * 3600 + st.wMinute * 60ULL + st.wSecond) * kTicksPerSecond +
        st.wMilliseconds * kTicksPerMillisecond;
    FromTicks(ticks, *lpFileTime);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME *lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime || ToTicks(*lpFileTime) >= 0x8000000000000000ULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TicksToSystemTime(ToTicks(*lpFileTime), *lpSystemTime);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME *lpFileTime, LPFILETIME lpLocalFileTime) {
    return ShiftFileTime(lpFileTime, lpLocalFileTime, CurrentUtcOffsetTicks()) ? TRUE : FALSE;
}

BOOL LocalFileTimeToFileTime(const FILETIME *lpLocalFileTime, LPFILETIME lpFileTime) {
    return ShiftFileTime(lpLocalFileTime, lpFileTime, -CurrentUtcOffsetTicks()) ? TRUE : FALSE;
}

LONG CompareFileTime(const FILETIME *lpFileTime1, const FILETIME *lpFileTime2) {
    const ULONGLONG a = ToTicks(*lpFileTime1);
    const ULONGLONG b = ToTicks(*lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency) {
    if (!lpFrequency) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = static_cast<LONGLONG>(kTicksPerSecond);
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount) {
    if (!lpPerformanceCount) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    lpPerformanceCount->QuadPart =
        static_cast<LONGLONG>(now.tv_sec) * static_cast<LONGLONG>(kTicksPerSecond) + now.tv_nsec / 100;
    return TRUE;
}

ULONGLONG GetTickCount64() {
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000ULL + static_cast<ULONGLONG>(now.tv_nsec) / 1000000ULL;
}

DWORD GetTickCount() {
    return static_cast<DWORD>(GetTickCount64());
}

// Sleep(0) gives up the rest of the time slice; INFINITE never returns.
void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            struct timespec day = {86400, 0};
            nanosleep(&day, nullptr);
        }
    }
    struct timespec rest = {static_cast<time_t>(dwMilliseconds / 1000),
                            static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) == -1 && errno == EINTR) {
    }
}

BOOL KestruneGetClockState(KESTRUNE_CLOCK_STATE *state) {
    if (state == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *state = KESTRUNE_CLOCK_STATE();
    struct timex discipline = {};
    discipline.modes = 0;
    const int result = ntp_adjtime(&discipline);
    if (result < 0)
        return TRUE;  // the system does not tell: unknown
    const auto micros = [](long value) {
        return value < 0 ? 0u : value > 0x7FFFFFFFL ? 0x7FFFFFFFu : static_cast<DWORD>(value);
    };
    state->Known = 1;
    state->Synchronised = result != TIME_ERROR && (discipline.status & STA_UNSYNC) == 0 ? 1 : 0;
    state->EstimatedErrorUs = micros(discipline.esterror);
    state->MaximumErrorUs = micros(discipline.maxerror);
    return TRUE;
}

bool KestruneLocalCalendarTime(time_t seconds, struct tm *local) {
    return local != nullptr && localtime_r(&seconds, local) != nullptr;
}
