// System time, FILETIME / SYSTEMTIME conversions and the counters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "common/Environment.h"
#include "platform/win32.h"

namespace {
ULONGLONG Ticks(const FILETIME &ft) {
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
FILETIME FromTicks(ULONGLONG ticks) {
    FILETIME ft;
    ft.dwLowDateTime = DWORD(ticks);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    return ft;
}
SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME st = {};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}
}  // namespace

TEST(SystemTimeToFileTime, ConvertsKnownInstants) {
    FILETIME ft;
    SYSTEMTIME st = Date(1601, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(Ticks(ft), 0u);
    st = Date(1970, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(Ticks(ft), 116444736000000000ULL);
    st = Date(2026, 12, 8, 13, 45, 30, 250);
    st.wDayOfWeek = 6;  // ignored
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(Ticks(ft), 116444736000000000ULL + 1796737530ULL * 10000000ULL + 2500000ULL);
}

TEST(SystemTimeToFileTime, RejectsInvalidDates) {
    FILETIME ft;
    const SYSTEMTIME invalid[] = {
        Date(0, 0, 0),
        Date(2023, 2, 29),
        Date(1900, 2, 29),
        Date(2100, 2, 29),
        Date(2026, 13, 1),
        Date(2026, 4, 31),
        Date(2026, 1, 1, 24),
        Date(2026, 1, 1, 0, 60),
        Date(2026, 1, 1, 0, 0, 60),
        Date(2026, 1, 1, 0, 0, 0, 1000),
        Date(1600, 12, 31),
        Date(2026, 1, 0),
    };
    for (const SYSTEMTIME &st : invalid) {
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    for (const SYSTEMTIME &st : {Date(2000, 2, 29), Date(2024, 2, 29), Date(2026, 12, 31, 23, 59, 59, 999)})
        EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
}

TEST(FileTimeToSystemTime, FillsEveryFieldAndTheDayOfWeek) {
    SYSTEMTIME in = Date(2000, 2, 29, 23, 59, 58, 7), out;
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&in, &ft));
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &out));
    EXPECT_EQ(out.wYear, 2000);
    EXPECT_EQ(out.wMonth, 2);
    EXPECT_EQ(out.wDay, 29);
    EXPECT_EQ(out.wDayOfWeek, 2);  // Tuesday
    EXPECT_EQ(out.wHour, 23);
    EXPECT_EQ(out.wMinute, 59);
    EXPECT_EQ(out.wSecond, 58);
    EXPECT_EQ(out.wMilliseconds, 7);
    ft = FromTicks(0);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &out));
    EXPECT_EQ(out.wDayOfWeek, 1);  // 1601-01-01, a Monday
    ft = FromTicks(0x8000000000000000ULL);
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &out));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(FileTimeToSystemTime, RoundTripsEveryDayOfFourCenturies) {
    // Every day from 1601 to 2400 converts back to the same date, one day apart.
    FILETIME ft;
    SYSTEMTIME st;
    ULONGLONG previous = 0;
    for (ULONGLONG day = 0; day < 146097 * 2; ++day) {
        ft = FromTicks(day * 864000000000ULL);
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        FILETIME back;
        ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
        ASSERT_EQ(Ticks(back), Ticks(ft));
        if (day) {
            ASSERT_EQ(Ticks(back) - previous, 864000000000ULL);
        }
        ASSERT_EQ(st.wDayOfWeek, (day + 1) % 7);
        previous = Ticks(back);
    }
}

TEST(LocalFileTime, UsesTheProcessTimeZone) {
    const char *old = std::getenv("TZ");
    std::string saved = old ? old : "";
    SetVariable("TZ", "XYZ-3");  // three hours east of UTC, no daylight saving
    tzset();
    FILETIME utc = FromTicks(116444736000000000ULL), local, back;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Ticks(local) - Ticks(utc), 3ULL * 3600 * 10000000ULL);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(utc));
    if (old)
        SetVariable("TZ", saved);
    else
        UnsetVariable("TZ");
    tzset();
}

TEST(SystemTime, LiesBetweenTwoReadingsOfTheClock) {
    const ULONGLONG before = (ULONGLONG(time(nullptr)) + 11644473600ULL) * 10000000ULL;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SYSTEMTIME st;
    GetSystemTime(&st);
    const ULONGLONG after = (ULONGLONG(time(nullptr)) + 1 + 11644473600ULL) * 10000000ULL;
    EXPECT_GE(Ticks(now), before);
    EXPECT_LE(Ticks(now), after);
    FILETIME fromSt;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &fromSt));
    EXPECT_GE(Ticks(fromSt) + 10000, Ticks(now));  // ms resolution, read after
    EXPECT_LE(Ticks(fromSt), after);
}

TEST(CompareFileTime, OrdersByValue) {
    FILETIME a = FromTicks(5), b = FromTicks(0x100000000ULL);
    EXPECT_EQ(CompareFileTime(&a, &b), -1);
    EXPECT_EQ(CompareFileTime(&b, &a), 1);
    EXPECT_EQ(CompareFileTime(&a, &a), 0);
}

TEST(PerformanceCounter, RunsAtTenMegahertzAndNeverGoesBack) {
    LARGE_INTEGER frequency, first, second;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10000000);
    ASSERT_TRUE(QueryPerformanceCounter(&first));
    Sleep(2);
    ASSERT_TRUE(QueryPerformanceCounter(&second));
    EXPECT_GE(second.QuadPart - first.QuadPart, 20000);  // slept at least 2 ms
    const ULONGLONG tick64 = GetTickCount64();
    EXPECT_GE(GetTickCount64(), tick64);
}
