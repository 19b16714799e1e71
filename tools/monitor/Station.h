// What the station page shows, gathered from the data directory and the registry: the
// health facts, one day's statistics periods with the blackout and loss marks of that day,
// the last minutes of raw samples and the tail of the event log. Everything is read, never
// written; a line that does not parse is left out, so it shows as a gap.
//
// Memory stays bounded whatever the directory holds: one day of statistics (at most 1440
// periods at 60 s), the tail of the newest raw files (TraceBytes per file), the last
// TailEntries log entries, and the running counts of today's log.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/stationfiles/StationFiles.h"

namespace monitor {

using station::Millis;

struct Health {
    Millis Now = 0;
    bool Running = false;
    std::string State;  // "running", "stopped", "no data"
    bool HaveSample = false;
    Millis LastSample = 0;  // time of the newest archived raw sample
    double SampleAgeSeconds = 0;
    double LinesPerSecond = 0;   // archived samples per second over the last minute of samples
    Millis LastArchivePass = 0;  // newest 5017 entry (0: none)
    long Losses = 0;             // today's lines lost (sum of 5301 counts)
    long CutLines = 0;           // today's over-long lines cut (sum of 5302 counts)
    long Excluded = 0;           // today's excluded samples (bad + blackout + edited of the 5017 entries)
    long Errors = 0;             // today's error entries
    bool HaveRegistry = false;
    long ArchiveSamples = -1;
    std::string ArchiveDate;
    long SkippedLines = 0;  // lines left out as malformed while gathering this view
    std::string Clock;      // the clock's synchronisation, as `kestrune status` words it
};

struct Mark {
    Millis Start = 0, End = 0;
    std::string Kind;  // "blackout" or "loss"
    std::string Text;
};

struct DayView {
    Millis Day = 0;
    std::vector<station::StatsPeriod> Periods;
    std::vector<Mark> Marks;
    long SkippedLines = 0;
};

struct TraceSample {
    Millis Time;
    double Values[4];  // u, v, w, T; NaN when missing
};

struct LogLine {
    station::LogEntry Entry;
    bool Error = false;
};

// Codes that report an error or a loss.
bool IsErrorEntry(const station::LogEntry &entry);

class Station {
public:
    static constexpr Millis RunningWindowMs = 30000;  // an archive pass at least this recent
    static constexpr Millis TraceSpanMs = 180000;     // the live trace: the last three minutes
    static constexpr std::uint64_t TraceBytes = 512 * 1024;
    static constexpr size_t TailEntries = 60;

    explicit Station(const std::string &dataDirectory) : directory_(dataDirectory) {}

    const std::string &Directory() const { return directory_; }
    Health GetHealth(Millis now);
    DayView GetDay(Millis day);
    std::vector<TraceSample> GetTrace(long *skipped = nullptr);
    std::vector<LogLine> GetLogTail(Millis now);
    std::vector<Millis> Days() const { return station::ListDays(directory_); }

private:
    // Running totals of one day's log, read on from where the last look ended.
    struct LogDigest {
        std::string Path;
        std::uint64_t Offset = 0;
        long Losses = 0, CutLines = 0, Excluded = 0, Errors = 0;
        Millis LastArchivePass = 0, LastStop = 0, LastStart = 0;
        Millis ClockLost = 0;  // today's entry that found the clock unsynchronised, 0 after a 5312
    };
    void UpdateDigest(Millis day);

    std::string directory_;
    std::mutex mutex_;  // guards digest_ (the server answers on several threads)
    LogDigest digest_;
};

// Current UTC time.
Millis Now();

}  // namespace monitor
