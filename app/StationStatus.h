// What `kestrune status` tells a person at the station: whether an instance holds the data
// directory, when the archive last ran and the last statistics period was written, today's
// losses and errors from the event log, and whether all that adds up to healthy acquisition.
// The clock's synchronisation is asked of the system itself, as the program asks it; since
// when the clock has not been synchronised comes from today's event log, where the running
// program wrote the moment it found out (5310, 5311; 5312 ends it). It does not count
// towards healthy: acquisition goes on with an unsynchronised clock.
//
// It only reads: the registry key is opened for reading, the files are opened shared, and the
// data directory's lock is only tried, never kept.
#pragma once

#include <string>

#include "app/Configuration.h"
#include "platform/win32.h"
#include "services/ClockWatch.h"

class StationStatus {
public:
    // An archive pass older than this many seconds means acquisition has stalled: a pass
    // runs at least every 10 seconds while the instrument sends.
    static constexpr DWORD HealthyArchiveAge = 60;
    // Exit status of `kestrune status`.
    static constexpr int HealthyStatus = 0;
    static constexpr int UnhealthyStatus = 1;

    // Whether an event-log entry reports an error, by the table of event codes (a warning, such
    // as 5108, is none).
    static bool IsErrorEntry(int code, const char *message);
    // How an event-log entry ranks: an error as IsErrorEntry tells, a warning when its code is
    // one of the warning codes, else information. The one classification the journal uses.
    enum Severity { Information, Warning, Error };
    static Severity SeverityOf(int code, const char *message);

    // The name of the named mutex that marks the data directory as in use.
    static std::string LockName(const char *dataDirectory);

    // Looks at the station of the configuration's data directory now.
    explicit StationStatus(const Configuration &configuration);

    // Where the clock's state is read; null: the platform's (tests put their own here).
    static ClockWatch::StateReader ReadClock;

    // The few lines for a person, and one JSON object for scripts.
    std::string Text() const;
    std::string Json() const;

    bool Running = false;
    std::string ProcessId;  // empty when unknown
    bool HasArchiveDate = false;
    SYSTEMTIME ArchiveDate = {};
    LONGLONG ArchiveAgeSeconds = 0;
    bool HasStatistics = false;
    // Times are ISO 8601 UTC with milliseconds ("2026-12-09T03:04:47.965Z").
    std::string StatisticsTime;   // today's last 5003 entry
    std::string StatisticsStart;  // the period it reports: start and end
    std::string StatisticsEnd;
    unsigned long LostLines = 0;
    unsigned long CutLines = 0;
    unsigned long ExcludedSamples = 0;
    unsigned long WriteErrors = 0;
    unsigned long ReadingPauses = 0;      // pauses of the reading detected today (5109)
    bool HasLog = false;                  // today's log exists
    bool RawWriteFailing = false;         // a raw write failed, and no entry says they work again
    bool StatisticsWriteFailing = false;  // the last statistics period could not be written
    bool HasError = false;
    std::string LastErrorTime;  // ISO 8601 UTC, as StatisticsTime
    int LastErrorCode = 0;
    std::string LastErrorMessage;
    bool Healthy = false;
    std::string Reason;  // why it is not healthy
    std::string DataDirectory;
    std::string LogName;  // today's log file name
    KESTRUNE_CLOCK_STATE Clock = {};
    std::string ClockSince;  // "YYYY-MM-DDTHH:MM:SSZ" of today's entry that found it unsynchronised
    std::string ClockText;   // what follows "Clock: "

private:
    void ReadInstance();
    void ReadArchiveDate();
    void ReadEventLog();
    void AddEntry(const SYSTEMTIME &time, int code, const char *message);
};
