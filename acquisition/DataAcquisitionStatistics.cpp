// Statistics periods: the archive thread cuts the sample stream into periods of
// StatsArchivePeriod seconds on a grid that starts at UTC midnight of the day the archive
// thread started, closes a period when a sample's stamp reaches its end, and has the
// instrument class write the period's statistics to the file named after the period start.
// Everything here runs on the archive thread.
#include "acquisition/DataAcquisition.h"
#include "services/FileNameTemplate.h"
#include "services/Win32Util.h"

namespace {

// The current UTC time at millisecond resolution, the resolution every period boundary and
// every printed time is kept at.
FILETIME CurrentUtcFileTime() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME time = {};
    SystemTimeToFileTime(&now, &time);
    return time;
}

}  // namespace

void DataAcquisition::BuildStatsFilePath() {
    snprintf(WorkingFileName, sizeof WorkingFileName, "%s", StatsFileTemplate);
    ExpandFileNameTemplate(WorkingFileName, PeriodStartTime);
    int written;
    if (StatsArchiveDirectory[0] != '\0')
        written =
            snprintf(StatsFilePath, sizeof StatsFilePath, "%s\\%s", StatsArchiveDirectory, WorkingFileName);
    else
        written = snprintf(StatsFilePath, sizeof StatsFilePath, "%s", WorkingFileName);
    // A path cut short would name another file; an empty one fails to open and is reported.
    if (written < 0 || written >= static_cast<int>(sizeof StatsFilePath))
        StatsFilePath[0] = '\0';
}

void DataAcquisition::BeginStatistics() {
    PeriodHasSamples = false;
    SYSTEMTIME now;
    GetSystemTime(&now);
    SystemTimeToFileTime(&now, &PeriodStart);

    SYSTEMTIME midnight = now;
    midnight.wHour = 0;
    midnight.wMinute = 0;
    midnight.wSecond = 0;
    midnight.wMilliseconds = 0;
    SystemTimeToFileTime(&midnight, &DayStart);

    if (StatsArchivePeriod != 0)
        PeriodEnd = NextPeriodBoundary(StatsArchivePeriod, DayStart);
}

void DataAcquisition::ConfigureStatistics() {
    char message[MessageSize];
    const char *name = Name ? Name : "";
    if (StatsArchiveDirectory[0] != '\0' && StatsFileTemplate[0] != '\0' && StatsArchivePeriod != 0) {
        if (QualityControl == 0) {
            StatisticsEnabled = 0;
            snprintf(message, sizeof message, EventCode::StatisticsNeedQualityControl.Formats[0], name);
            EventLogRef.Write(EventCode::StatisticsNeedQualityControl, message);
        } else {
            StatisticsEnabled = 1;
            snprintf(message, sizeof message, EventCode::StatisticsEnabled.Formats[0], name,
                     static_cast<int>(StatsArchivePeriod));
            EventLogRef.Write(EventCode::StatisticsEnabled, message);
        }
    } else {
        StatisticsEnabled = 0;
        snprintf(message, sizeof message, EventCode::StatisticsDisabled.Formats[0], name);
        EventLogRef.Write(EventCode::StatisticsDisabled, message);
    }
}

// The instrument class supplies the statistics themselves.
void DataAcquisition::AccumulateStatistics() {}
void DataAcquisition::WriteStatistics() {}

void DataAcquisition::RunStatisticsTiming() {
    SampleBuffer &buffer = Buffers[CurrentBuffer];
    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);

    if (count == 0) {
        // No sample to close the period with: close it by the clock. In the last pass after a
        // stop request, a running period that holds samples closes at the last of them (it
        // was archived by an earlier pass), whatever the clock says, just as it would had that
        // sample come with this pass; a period without samples stays unwritten.
        if (FinalPass && PeriodHasSamples) {
            PeriodEnd = LastSampleStamp;
            ArchiveStatistics();
        } else if (FileTimeToUnits(CurrentUtcFileTime()) >= FileTimeToUnits(PeriodEnd)) {
            ArchiveStatistics();
        }
        return;
    }

    const ULONGLONG period = static_cast<ULONGLONG>(StatsArchivePeriod) * FileTimeUnitsPerSecond;
    for (CurrentSample = 0; CurrentSample < count; ++CurrentSample) {
        const SampleRecord &record = buffer.Records[CurrentSample];
        const ULONGLONG stamp = FileTimeToUnits(record.TimeStamp);
        const ULONGLONG end = FileTimeToUnits(PeriodEnd);
        // A sample stamped on or after the end belongs to a later period. One stamped before
        // the open period's place on the grid (the clock was set back) belongs to an earlier
        // one: the open period is closed, and the period of the grid that holds the sample
        // is opened. A stamp early in the first, shortened period is simply part of it.
        if (stamp >= end ||
            (period != 0 && stamp < FileTimeToUnits(PeriodStart) && end >= period && stamp < end - period))
            ArchiveStatistics();
        AccumulateStatistics();
        LastSampleStamp = record.TimeStamp;
        PeriodHasSamples = true;
        // The last buffer archived after a stop request closes the partial period at its
        // last sample; the buffers of a backlog before it do not.
        if (CurrentSample + 1 == count && FinalPass) {
            PeriodEnd = record.TimeStamp;
            ArchiveStatistics();
        }
    }
}

void DataAcquisition::ArchiveStatistics() {
    PeriodHasSamples = false;
    FileTimeToSystemTime(&PeriodStart, &PeriodStartTime);
    FileTimeToSystemTime(&PeriodEnd, &PeriodEndTime);

    char message[MessageSize];
    snprintf(message, sizeof message, EventCode::StatisticsArchived.Formats[0], Name ? Name : "",
             PeriodStartTime.wMinute, PeriodStartTime.wSecond, PeriodStartTime.wMilliseconds,
             PeriodEndTime.wMinute, PeriodEndTime.wSecond, PeriodEndTime.wMilliseconds);
    EventLogRef.Write(EventCode::StatisticsArchived, message);

    BuildStatsFilePath();
    WriteStatistics();

    // Open the period that holds the current sample; periods without samples are skipped
    // without a line. With no sample at hand the next period is opened.
    const ULONGLONG period = static_cast<ULONGLONG>(StatsArchivePeriod) * FileTimeUnitsPerSecond;
    ULONGLONG start = FileTimeToUnits(PeriodStart);
    ULONGLONG end = FileTimeToUnits(PeriodEnd);
    const SampleBuffer &buffer = Buffers[CurrentBuffer];
    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
    if (period == 0) {
        // Statistics are never enabled without a period; keep the periods ordered anyway.
        start = end;
    } else if (count != 0 && CurrentSample < count &&
               FileTimeToUnits(buffer.Records[CurrentSample].TimeStamp) < start) {
        // The clock went back: the period of the grid (from DayStart) that holds t, which may
        // lie before DayStart.
        const LONGLONG t = static_cast<LONGLONG>(FileTimeToUnits(buffer.Records[CurrentSample].TimeStamp));
        const LONGLONG day = static_cast<LONGLONG>(FileTimeToUnits(DayStart));
        const LONGLONG step = static_cast<LONGLONG>(period);
        LONGLONG cells = (t - day) / step;
        if ((t - day) % step < 0)
            --cells;  // toward minus infinity
        start = static_cast<ULONGLONG>(day + cells * step);
        end = start + period;
    } else if (count != 0 && CurrentSample < count &&
               FileTimeToUnits(buffer.Records[CurrentSample].TimeStamp) >= end) {
        // Skip whole periods in one step: the new end is the first grid point after t.
        const ULONGLONG t = FileTimeToUnits(buffer.Records[CurrentSample].TimeStamp);
        end += ((t - end) / period + 1) * period;
        start = end - period;
    } else {
        // No sample at hand, or (not reached by the timing) a sample before the end.
        start = end;
        end += period;
    }
    PeriodStart = UnitsToFileTime(start);
    PeriodEnd = UnitsToFileTime(end);
}

FILETIME DataAcquisition::NextPeriodBoundary(DWORD period, FILETIME base) {
    const ULONGLONG now = FileTimeToUnits(CurrentUtcFileTime());
    ULONGLONG boundary = FileTimeToUnits(base);
    const ULONGLONG step = static_cast<ULONGLONG>(period) * FileTimeUnitsPerSecond;
    if (boundary > now || step == 0)
        return base;
    boundary += ((now - boundary) / step + 1) * step;
    return UnitsToFileTime(boundary);
}
