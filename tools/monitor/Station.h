// What the station page shows, gathered from the data directory and the registry: the
// health facts, one day's statistics periods with the blackout and loss marks of that day and
// its flux periods, the last minutes of raw samples and the tail of the event log. Everything is read, never
// written; a line that does not parse is left out, so it shows as a gap.
//
// Memory stays bounded whatever the directory holds: one day of statistics (at most 1440
// periods at 60 s, and that day's flux rows), the tail of the newest raw files (TraceBytes per
// file), the last TailEntries rows of the log, and the running counts of today's log.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "services/EventCodes.h"
#include "tools/stationfiles/StationFiles.h"

namespace monitor {

using station::Millis;

// Current UTC time.
Millis Now();

struct Health {
    Millis Now = 0;
    bool Running = false;
    std::string State;  // "running", "stopped", "no data"
    bool HaveSample = false;
    Millis LastSample = 0;  // time of the newest archived raw sample
    double SampleAgeSeconds = 0;
    double LinesPerSecond = 0;       // archived samples per second over the last minute of samples
    Millis LastArchivePass = 0;      // newest 5017 entry of today's log, else of yesterday's (0: none)
    std::string LastArchiveMessage;  // its message, as the log has it
    Millis LastStop = 0;             // newest stop (5102) of the same logs
    long Losses = 0;                 // today's lines lost (sum of 5301 counts)
    long CutLines = 0;               // today's over-long lines cut (sum of 5302 counts)
    long ReadingPauses = 0;          // today's pauses of the reading (5109 entries)
    long Excluded = 0;               // today's excluded samples (bad + blackout + edited of the 5017 entries)
    long Errors = 0;                 // today's error entries
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

// The flux periods of one day, read from the day's flux file.
struct FluxView {
    long PeriodSeconds = station::DefaultFluxPeriod;  // 0: fluxes switched off
    std::string FileName;                             // the day's flux file name
    std::vector<station::FluxRow> Rows;
    long SkippedLines = 0;
};

struct DayView {
    Millis Day = 0;
    Millis Now = 0;  // when the view was taken (an empty chart says what it waits for)
    std::vector<station::StatsPeriod> Periods;
    std::vector<Mark> Marks;
    FluxView Flux;
    long SkippedLines = 0;
};

struct TraceSample {
    Millis Time;
    double Values[4];  // u, v, w, T; NaN when missing
};

// One row of the log tail. A run of routine archive entries (5017) one after another is
// folded into one row: Entry is the newest of them, Folded their number, FoldedFrom the time
// of the oldest.
struct LogLine {
    station::LogEntry Entry;
    EventSeverity Severity = EventSeverity::Information;
    bool Error = false;  // Severity is EventSeverity::Error
    long Folded = 0;
    Millis FoldedFrom = 0;
};

// How an entry is classified, by the table of event codes; IsErrorEntry: it is an error.
EventSeverity SeverityOf(const station::LogEntry &entry);
bool IsErrorEntry(const station::LogEntry &entry);

class Station {
public:
    static constexpr Millis RunningWindowMs = 30000;  // an archive pass at least this recent
    static constexpr Millis TraceSpanMs = 180000;     // the live trace: the last three minutes
    static constexpr std::uint64_t TraceBytes = 512 * 1024;
    static constexpr size_t TailEntries = 60;  // rows, a folded run of 5017 entries counting as one
    static constexpr std::uint64_t LogTailBytes = 256 * 1024;

    explicit Station(const std::string &dataDirectory) : directory_(dataDirectory) {}
    // The station's configured flux settings, used instead of the registry's; readRegistry
    // false: the registry in force is another station's, so its bookkeeping is not shown.
    void UseSettings(const station::FluxSettings &flux, bool readRegistry) {
        flux_ = flux;
        haveFlux_ = true;
        readRegistry_ = readRegistry;
    }

    const std::string &Directory() const { return directory_; }
    Health GetHealth(Millis now);
    // The day's statistics, marks and flux periods; now is when the page is asked for.
    DayView GetDay(Millis day, Millis now);
    DayView GetDay(Millis day) { return GetDay(day, Now()); }
    std::vector<TraceSample> GetTrace(long *skipped = nullptr);
    std::vector<LogLine> GetLogTail(Millis now);
    std::vector<Millis> Days() const { return station::ListDays(directory_); }

private:
    // Running totals of one day's log, read on from where the last look ended.
    struct LogDigest {
        std::string Path;
        std::uint64_t Offset = 0;
        long Losses = 0, CutLines = 0, Excluded = 0, Errors = 0, ReadingPauses = 0;
        Millis LastArchivePass = 0, LastStop = 0, LastStart = 0;
        std::string LastArchiveMessage;
        Millis ClockLost = 0;  // today's entry that found the clock unsynchronised, 0 after a 5312
    };
    void UpdateDigest(Millis day);

    std::string directory_;
    station::FluxSettings flux_;
    bool haveFlux_ = false;
    bool readRegistry_ = true;
    std::mutex mutex_;  // guards digest_ (the server answers on several threads)
    LogDigest digest_;
};

}  // namespace monitor
