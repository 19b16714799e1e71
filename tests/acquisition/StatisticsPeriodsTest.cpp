// Statistics periods: the start of the first period, the grid of boundaries, the decision
// to enable statistics, and the timing that closes periods as samples arrive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "acquisition/DataAcquisition.h"
#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "services/EventLog.h"

namespace {

constexpr ULONGLONG Second = 10000000ULL;

ULONGLONG Ticks(const FILETIME &time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(ULONGLONG ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

FILETIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD millisecond = 0) {
    SYSTEMTIME calendar = {};
    calendar.wYear = year;
    calendar.wMonth = month;
    calendar.wDay = day;
    calendar.wHour = hour;
    calendar.wMinute = minute;
    calendar.wSecond = second;
    calendar.wMilliseconds = millisecond;
    FILETIME time = {};
    EXPECT_TRUE(SystemTimeToFileTime(&calendar, &time));
    return time;
}

ULONGLONG NowTicks() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

// One closed period as the engine handed it to WriteStatistics.
struct ClosedPeriod {
    ULONGLONG Start = 0;
    ULONGLONG End = 0;
    SYSTEMTIME StartTime = {};
    SYSTEMTIME EndTime = {};
    std::string Path;
    int Accumulated = 0;  // samples accumulated into it
};

// An engine whose statistics only record what the period logic asked of them.
class PeriodEngine : public DataAcquisition {
public:
    using DataAcquisition::DataAcquisition;
    void Acquire() override {}
    void AccumulateStatistics() override {
        ++accumulated_;
        AccumulatedSamples.push_back(CurrentSample);
    }
    void WriteStatistics() override {
        ClosedPeriod period;
        period.Start = Ticks(PeriodStart);
        period.End = Ticks(PeriodEnd);
        period.StartTime = PeriodStartTime;
        period.EndTime = PeriodEndTime;
        period.Path = StatsFilePath;
        period.Accumulated = accumulated_;
        accumulated_ = 0;
        Closed.push_back(period);
    }

    std::vector<ClosedPeriod> Closed;
    std::vector<DWORD> AccumulatedSamples;

private:
    int accumulated_ = 0;
};

class StatisticsPeriods : public ::testing::Test {
protected:
    StatisticsPeriods()
        : log_("Statistics periods test log", root_.Drive("C:\\Data").c_str()), engine_(log_) {
        engine_.StatsArchivePeriod = 60;
        snprintf(engine_.StatsArchiveDirectory, sizeof engine_.StatsArchiveDirectory, "%s",
                 root_.Drive("C:\\Data").c_str());
        snprintf(engine_.StatsFileTemplate, sizeof engine_.StatsFileTemplate, "%s",
                 "lab0<YYJJJHH>_stats.txt");
        engine_.QualityControl = 1;
        engine_.CurrentBuffer = 1;
    }
    ~StatisticsPeriods() override { engine_.Buffers[engine_.CurrentBuffer].SampleCount = 0; }

    // Puts samples with these stamps into the current buffer.
    void Fill(const std::vector<FILETIME> &stamps) {
        SampleBuffer &buffer = engine_.Buffers[engine_.CurrentBuffer];
        for (size_t i = 0; i < stamps.size(); ++i) {
            buffer.Records[i].TimeStamp = stamps[i];
            buffer.Records[i].Status = SampleGood;
        }
        buffer.SampleCount = static_cast<DWORD>(stamps.size());
    }

    std::vector<std::string> Logged(int code) const { return LoggedMessages(root_.Posix("c/Data"), code); }

    TestRoot root_;
    EventLog log_;
    PeriodEngine engine_;
};

TEST_F(StatisticsPeriods, BeginStartsNowAndEndsOnTheMidnightGrid) {
    const ULONGLONG before = NowTicks() / 10000 * 10000;
    engine_.BeginStatistics();
    const ULONGLONG after = NowTicks();

    const ULONGLONG start = Ticks(engine_.PeriodStart);
    EXPECT_GE(start, before);
    EXPECT_LE(start, after);
    EXPECT_EQ(start % 10000, 0u) << "the start is kept at millisecond resolution";

    SYSTEMTIME day;
    ASSERT_TRUE(FileTimeToSystemTime(&engine_.DayStart, &day));
    EXPECT_EQ(day.wHour, 0);
    EXPECT_EQ(day.wMinute, 0);
    EXPECT_EQ(day.wSecond, 0);
    EXPECT_EQ(day.wMilliseconds, 0);
    EXPECT_LE(Ticks(engine_.DayStart), start);
    EXPECT_GT(Ticks(engine_.DayStart) + 86400 * Second, start);

    const ULONGLONG end = Ticks(engine_.PeriodEnd);
    EXPECT_EQ((end - Ticks(engine_.DayStart)) % (60 * Second), 0u);
    EXPECT_GT(end, start);
    EXPECT_LE(end, start + 60 * Second);
}

TEST_F(StatisticsPeriods, BeginWithoutPeriodLeavesTheEndAlone) {
    engine_.StatsArchivePeriod = 0;
    engine_.PeriodEnd = FromTicks(12345);
    engine_.BeginStatistics();
    EXPECT_EQ(Ticks(engine_.PeriodEnd), 12345u);
}

TEST_F(StatisticsPeriods, NextBoundaryIsTheFirstGridPointAfterNow) {
    // A base in the future is returned as it is.
    const FILETIME future = FromTicks(NowTicks() + 3600 * Second);
    EXPECT_EQ(Ticks(engine_.NextPeriodBoundary(60, future)), Ticks(future));

    // From a base three days back, on a grid of 7 s that does not divide a day.
    const ULONGLONG base = NowTicks() / Second * Second - 3 * 86400 * Second;
    const ULONGLONG before = NowTicks();
    const ULONGLONG next = Ticks(engine_.NextPeriodBoundary(7, FromTicks(base)));
    const ULONGLONG after = NowTicks();
    EXPECT_EQ((next - base) % (7 * Second), 0u);
    EXPECT_GT(next, before - before % 10000);
    EXPECT_LE(next - 7 * Second, after);
}

TEST_F(StatisticsPeriods, ConfigurationDecidesAndLogs) {
    engine_.ConfigureStatistics();
    EXPECT_EQ(engine_.StatisticsEnabled, 1);
    EXPECT_EQ(Logged(5010),
              std::vector<std::string>{"Metek1: Statistics enabled with an averaging period of 60 seconds."});

    engine_.QualityControl = 0;
    engine_.ConfigureStatistics();
    EXPECT_EQ(engine_.StatisticsEnabled, 0);
    EXPECT_EQ(Logged(5011),
              std::vector<std::string>{
                  "Metek1: The quality control process, which is currently disabled, is required to "
                  "calculate statistics. The statistics process has been disabled."});

    engine_.QualityControl = 1;
    engine_.StatsArchivePeriod = 0;
    engine_.ConfigureStatistics();
    EXPECT_EQ(engine_.StatisticsEnabled, 0);
    engine_.StatsArchivePeriod = 60;
    engine_.StatsFileTemplate[0] = '\0';
    engine_.ConfigureStatistics();
    EXPECT_EQ(engine_.StatisticsEnabled, 0);
    engine_.StatsArchiveDirectory[0] = '\0';
    snprintf(engine_.StatsFileTemplate, sizeof engine_.StatsFileTemplate, "%s", "x.txt");
    engine_.ConfigureStatistics();
    EXPECT_EQ(engine_.StatisticsEnabled, 0);
    EXPECT_EQ(Logged(5012), std::vector<std::string>(3, "Metek1: Statistics disabled."));
}

TEST_F(StatisticsPeriods, FirstPeriodRunsFromTheStartToTheWholeMinute) {
    engine_.PeriodStart = At(2026, 12, 8, 10, 15, 42, 300);
    engine_.PeriodEnd = At(2026, 12, 8, 10, 16, 0);
    Fill({At(2026, 12, 8, 10, 15, 59, 999), At(2026, 12, 8, 10, 16, 0), At(2026, 12, 8, 10, 16, 0, 1)});
    engine_.RunStatisticsTiming();

    ASSERT_EQ(engine_.Closed.size(), 1u);
    EXPECT_EQ(engine_.Closed[0].Accumulated, 1) << "a sample stamped on the end starts the new period";
    EXPECT_EQ(engine_.Closed[0].End, Ticks(At(2026, 12, 8, 10, 16, 0)));
    EXPECT_EQ(Logged(5003),
              std::vector<std::string>{"Metek1: Archiving statistics for the period 15:42:300-16:00:000."});
    EXPECT_EQ(Ticks(engine_.PeriodStart), Ticks(At(2026, 12, 8, 10, 16, 0)));
    EXPECT_EQ(Ticks(engine_.PeriodEnd), Ticks(At(2026, 12, 8, 10, 17, 0)));
    EXPECT_EQ(engine_.AccumulatedSamples, (std::vector<DWORD>{0, 1, 2}));
}

TEST_F(StatisticsPeriods, EmptyPeriodsAreSkippedWithoutALine) {
    engine_.PeriodStart = At(2026, 12, 8, 10, 15, 0);
    engine_.PeriodEnd = At(2026, 12, 8, 10, 16, 0);
    Fill({At(2026, 12, 8, 10, 18, 30), At(2026, 12, 8, 10, 18, 59, 999), At(2026, 12, 8, 10, 19, 0)});
    engine_.RunStatisticsTiming();

    ASSERT_EQ(engine_.Closed.size(), 2u);
    EXPECT_EQ(engine_.Closed[0].End, Ticks(At(2026, 12, 8, 10, 16, 0)));
    EXPECT_EQ(engine_.Closed[0].Accumulated, 0);
    // The sample at 10:18:30 opened 10:18:00-10:19:00; the sample at 10:19:00 closed it.
    EXPECT_EQ(engine_.Closed[1].Start, Ticks(At(2026, 12, 8, 10, 18, 0)));
    EXPECT_EQ(engine_.Closed[1].End, Ticks(At(2026, 12, 8, 10, 19, 0)));
    EXPECT_EQ(engine_.Closed[1].Accumulated, 2);
    EXPECT_EQ(Logged(5003),
              (std::vector<std::string>{"Metek1: Archiving statistics for the period 15:00:000-16:00:000.",
                                        "Metek1: Archiving statistics for the period 18:00:000-19:00:000."}));
    EXPECT_EQ(Ticks(engine_.PeriodStart), Ticks(At(2026, 12, 8, 10, 19, 0)));
    EXPECT_EQ(Ticks(engine_.PeriodEnd), Ticks(At(2026, 12, 8, 10, 20, 0)));
}

// A stamp before the open period (the clock was set back): the open period is closed, and the
// period of the grid that holds the stamp opens; periods keep their length.
TEST_F(StatisticsPeriods, StampBeforeTheOpenPeriodRegridsIt) {
    engine_.DayStart = At(2026, 12, 8, 0, 0, 0);
    engine_.PeriodStart = At(2026, 12, 8, 10, 15, 0);
    engine_.PeriodEnd = At(2026, 12, 8, 10, 16, 0);
    Fill({At(2026, 12, 8, 10, 15, 10), At(2026, 12, 8, 10, 15, 20), At(2026, 12, 8, 9, 45, 30),
          At(2026, 12, 8, 9, 45, 40), At(2026, 12, 8, 9, 46, 5)});
    engine_.RunStatisticsTiming();

    ASSERT_EQ(engine_.Closed.size(), 2u);
    EXPECT_EQ(engine_.Closed[0].Start, Ticks(At(2026, 12, 8, 10, 15, 0)));
    EXPECT_EQ(engine_.Closed[0].End, Ticks(At(2026, 12, 8, 10, 16, 0)));
    EXPECT_EQ(engine_.Closed[0].Accumulated, 2);
    EXPECT_EQ(engine_.Closed[1].Start, Ticks(At(2026, 12, 8, 9, 45, 0)));
    EXPECT_EQ(engine_.Closed[1].End, Ticks(At(2026, 12, 8, 9, 46, 0)));
    EXPECT_EQ(engine_.Closed[1].Accumulated, 2);
    EXPECT_EQ(Ticks(engine_.PeriodStart), Ticks(At(2026, 12, 8, 9, 46, 0)));
    EXPECT_EQ(Ticks(engine_.PeriodEnd), Ticks(At(2026, 12, 8, 9, 47, 0)));

    // Back past the start day's midnight: the grid continues before DayStart.
    Fill({At(2026, 12, 7, 23, 59, 30, 500)});
    engine_.RunStatisticsTiming();
    ASSERT_EQ(engine_.Closed.size(), 3u);
    EXPECT_EQ(Ticks(engine_.PeriodStart), Ticks(At(2026, 12, 7, 23, 59, 0)));
    EXPECT_EQ(Ticks(engine_.PeriodEnd), Ticks(At(2026, 12, 8, 0, 0, 0)));
}

TEST_F(StatisticsPeriods, EarlyStampInTheFirstPeriodStaysInIt) {
    // The first period starts with the archive, inside its grid cell: a sample of that cell
    // stamped a little before the start is part of it, not the start of an earlier period.
    engine_.DayStart = At(2026, 12, 8, 0, 0, 0);
    engine_.PeriodStart = At(2026, 12, 8, 10, 15, 42, 300);
    engine_.PeriodEnd = At(2026, 12, 8, 10, 16, 0);
    Fill({At(2026, 12, 8, 10, 15, 41), At(2026, 12, 8, 10, 15, 50)});
    engine_.RunStatisticsTiming();
    EXPECT_TRUE(engine_.Closed.empty());
    EXPECT_EQ(engine_.AccumulatedSamples, (std::vector<DWORD>{0, 1}));

    Fill({At(2026, 12, 8, 10, 14, 59)});
    engine_.RunStatisticsTiming();
    ASSERT_EQ(engine_.Closed.size(), 1u);
    EXPECT_EQ(engine_.Closed[0].Accumulated, 2);
    EXPECT_EQ(Ticks(engine_.PeriodStart), Ticks(At(2026, 12, 8, 10, 14, 0)));
}

TEST_F(StatisticsPeriods, GridOfTheStartDayContinuesPastMidnight) {
    // 7 s does not divide a day: 12343 periods after 8 December 00:00 fall on 9 December
    // 00:00:01, and the grid stays there rather than restarting at midnight.
    engine_.StatsArchivePeriod = 7;
    engine_.DayStart = At(2026, 12, 8, 0, 0, 0);
    engine_.PeriodStart = At(2026, 12, 8, 23, 59, 47);
    engine_.PeriodEnd = At(2026, 12, 8, 23, 59, 54);
    Fill({At(2026, 12, 9, 0, 0, 3), At(2026, 12, 9, 0, 0, 8)});
    engine_.RunStatisticsTiming();

    ASSERT_EQ(engine_.Closed.size(), 2u);
    EXPECT_EQ(engine_.Closed[1].Start, Ticks(At(2026, 12, 9, 0, 0, 1)));
    EXPECT_EQ(engine_.Closed[1].End, Ticks(At(2026, 12, 9, 0, 0, 8)));
    EXPECT_EQ(Ticks(engine_.PeriodEnd), Ticks(At(2026, 12, 9, 0, 0, 15)));
}

TEST_F(StatisticsPeriods, StopClosesThePartialPeriodAtTheLastSample) {
    engine_.PeriodStart = At(2026, 12, 8, 10, 15, 0);
    engine_.PeriodEnd = At(2026, 12, 8, 10, 16, 0);
    Fill({At(2026, 12, 8, 10, 15, 10), At(2026, 12, 8, 10, 15, 20, 250)});
    engine_.FinalPass = true;
    engine_.RunStatisticsTiming();
    engine_.FinalPass = false;

    ASSERT_EQ(engine_.Closed.size(), 1u);
    EXPECT_EQ(engine_.Closed[0].Accumulated, 2);
    EXPECT_EQ(engine_.Closed[0].End, Ticks(At(2026, 12, 8, 10, 15, 20, 250)));
    EXPECT_EQ(Logged(5003),
              std::vector<std::string>{"Metek1: Archiving statistics for the period 15:00:000-15:20:250."});
    EXPECT_LT(Ticks(engine_.PeriodStart), Ticks(engine_.PeriodEnd));
}

TEST_F(StatisticsPeriods, EmptyBufferClosesByTheClock) {
    // A period that ended long ago is closed by an empty buffer, and exactly one period on.
    engine_.PeriodStart = At(2026, 1, 1, 10, 15, 0);
    engine_.PeriodEnd = At(2026, 1, 1, 10, 16, 0);
    Fill({});
    engine_.RunStatisticsTiming();
    ASSERT_EQ(engine_.Closed.size(), 1u);
    EXPECT_EQ(Ticks(engine_.PeriodStart), Ticks(At(2026, 1, 1, 10, 16, 0)));
    EXPECT_EQ(Ticks(engine_.PeriodEnd), Ticks(At(2026, 1, 1, 10, 17, 0)));

    // A period that has not ended yet stays open.
    const ULONGLONG end = NowTicks() + 3600 * Second;
    engine_.PeriodStart = FromTicks(end - 60 * Second);
    engine_.PeriodEnd = FromTicks(end);
    engine_.RunStatisticsTiming();
    EXPECT_EQ(engine_.Closed.size(), 1u);
}

TEST_F(StatisticsPeriods, EmptyLastPassClosesAtTheLastSampleOfTheRunningPeriod) {
    // A running period without samples is not written by an empty last pass.
    const ULONGLONG start = NowTicks() / 10000 * 10000 - 10 * Second;
    engine_.PeriodStart = FromTicks(start);
    engine_.PeriodEnd = FromTicks(start + 3600 * Second);
    Fill({});
    engine_.FinalPass = true;
    engine_.RunStatisticsTiming();
    EXPECT_TRUE(engine_.Closed.empty());

    // Samples archived by an earlier pass: the empty last pass closes the period at the last.
    engine_.FinalPass = false;
    Fill({FromTicks(start + 1 * Second), FromTicks(start + 2 * Second + 5000)});
    engine_.RunStatisticsTiming();
    EXPECT_TRUE(engine_.Closed.empty());
    Fill({});
    engine_.FinalPass = true;
    engine_.RunStatisticsTiming();
    engine_.FinalPass = false;

    ASSERT_EQ(engine_.Closed.size(), 1u);
    EXPECT_EQ(engine_.Closed[0].Start, start);
    EXPECT_EQ(engine_.Closed[0].End, start + 2 * Second + 5000);
    EXPECT_EQ(engine_.Closed[0].Accumulated, 2);
}

TEST_F(StatisticsPeriods, EmptyLastPassClosesAtTheLastSampleEvenWhenTheClockPassedTheEnd) {
    // Whether the last buffer came with the last pass or with the pass before it, the period
    // ends at the last sample: the clock having passed its end does not make it a full one.
    engine_.PeriodStart = At(2026, 1, 1, 10, 15, 0);
    engine_.PeriodEnd = At(2026, 1, 1, 10, 16, 0);
    Fill({At(2026, 1, 1, 10, 15, 1), At(2026, 1, 1, 10, 15, 4, 5)});
    engine_.RunStatisticsTiming();
    EXPECT_TRUE(engine_.Closed.empty());
    Fill({});
    engine_.FinalPass = true;
    engine_.RunStatisticsTiming();
    engine_.FinalPass = false;

    ASSERT_EQ(engine_.Closed.size(), 1u);
    EXPECT_EQ(engine_.Closed[0].End, Ticks(At(2026, 1, 1, 10, 15, 4, 5)));
    EXPECT_EQ(engine_.Closed[0].Accumulated, 2);
}

TEST_F(StatisticsPeriods, FileIsNamedAfterThePeriodStart) {
    // 13:59:00-14:00:00 goes to the file of hour 13 (day 342 of 2026).
    engine_.PeriodStart = At(2026, 12, 8, 13, 59, 0);
    engine_.PeriodEnd = At(2026, 12, 8, 14, 0, 0);
    Fill({At(2026, 12, 8, 14, 0, 0, 500)});
    engine_.RunStatisticsTiming();
    ASSERT_EQ(engine_.Closed.size(), 1u);
    EXPECT_EQ(engine_.Closed[0].Path, root_.Drive("C:\\Data\\lab026342"
                                                  "13_stats.txt"));

    engine_.StatsArchiveDirectory[0] = '\0';
    engine_.PeriodStartTime.wHour = 0;
    FileTimeToSystemTime(&engine_.PeriodStart, &engine_.PeriodStartTime);
    engine_.BuildStatsFilePath();
    EXPECT_STREQ(engine_.StatsFilePath, "lab02634214_stats.txt");
}

TEST_F(StatisticsPeriods, PathTooLongForItsFieldIsNotCutShort) {
    std::string directory = "C:\\" + std::string(240, 'd');
    snprintf(engine_.StatsArchiveDirectory, sizeof engine_.StatsArchiveDirectory, "%s", directory.c_str());
    engine_.PeriodStartTime = {2026, 12, 2, 8, 13, 59, 0, 0};
    engine_.BuildStatsFilePath();
    EXPECT_STREQ(engine_.StatsFilePath, "");
}

}  // namespace
