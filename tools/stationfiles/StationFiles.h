// Reading the station's data directory from outside the acquisition: the hourly raw and
// statistics files, the daily event log, their names and their line formats. Used by the
// export and the monitor, which only ever open these files for reading.
//
// Times are milliseconds since 1970-01-01 00:00:00 UTC. A line that does not parse (half
// written, garbage, cut) is refused by its parser; callers skip it and count it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "services/StationFormats.h"

namespace station {

using Millis = long long;

constexpr Millis HourMs = 3600000;
constexpr Millis DayMs = 24 * HourMs;

// Calendar <-> milliseconds (proleptic Gregorian, UTC).
Millis MillisFromCivil(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                       int millisecond = 0);
struct Civil {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
Civil CivilFromMillis(Millis t);
// "2026-12-08T14:30:05.123Z"
std::string IsoTime(Millis t);
// "2026-12-08T14:30:05Z" (milliseconds dropped)
std::string IsoSecond(Millis t);
// "2026-12-08"
std::string DayText(Millis t);
// Start of the UTC day "YYYY-MM-DD"; false when the text is not a valid date.
bool ParseDay(const std::string &text, Millis &dayStart);
// Start of the UTC day that holds t.
Millis DayOf(Millis t);

// The data directory the program writes to when none is configured, mapped by the platform
// layer ($KESTRUNE_ROOT/c/Data/Code/Projects/Win32Console/Kestrune on POSIX; on Windows the
// drive path itself).
std::string DefaultDataDirectory();
// Where the registry store lives on this platform ("" on Windows, where it is the system's).
std::string RegistryStorePath();

enum class FileKind { Raw, Stats, Log, Flux };

struct DataFile {
    std::string Path;
    FileKind Kind;
    Millis Start;  // start of the file's hour (raw, statistics) or day (event log, fluxes)
};

// The file kind and start time a file name stands for: "lab0YYJJJHH_raw.txt",
// "lab0YYJJJHH_stats.txt", "YYJJJ.log", "lab0YYJJJ_flux.csv". Years are 2000 + YY.
bool ParseFileName(const std::string &name, FileKind &kind, Millis &start);
// File names for a time (the inverse).
std::string RawFileName(Millis t);
std::string StatsFileName(Millis t);
std::string LogFileName(Millis t);

// Files of one kind whose start lies in [from, to), sorted by start. Only names are read.
std::vector<DataFile> ListFiles(const std::string &directory, FileKind kind, Millis from, Millis to);
// The days (starts) for which any raw, statistics or log file exists, ascending.
std::vector<Millis> ListDays(const std::string &directory);

// Calls fn for each complete line (ended by a line feed; the CR LF is removed) from byte
// offset on; a last line without its line feed is still being written and is left out. When
// offset > 0 the first (partial) line is skipped. fn returns false to stop. Returns false when
// the file cannot be opened.
bool ForEachLine(const std::string &path, const std::function<bool(const std::string &)> &fn,
                 std::uint64_t offset = 0);
// Size of a file, or -1.
long long FileSize(const std::string &path);

// One raw line: "MMSSMMM status u v w T A1 A2 A3 A4" (the hour comes from the file name).
struct RawSample {
    Millis Time = 0;
    std::string Status;
    std::string Values[8];  // texts as written: "-99." means missing
};
bool ParseRawLine(const std::string &line, Millis hourStart, RawSample &sample);
// The text stands for a missing value ("-99." in raw files, "-99.99" in statistics files).
bool IsMissingRaw(const std::string &text);
bool IsMissingStats(const std::string &text);

// One statistics line: "MM:SS:mmm-MM:SS:mmm " and the 40 figures.
constexpr int StatsFigures = 40;
struct StatsPeriod {
    Millis Start = 0, End = 0;
    std::vector<std::string> Fields;  // 40 texts
};
bool ParseStatsLine(const std::string &line, Millis hourStart, StatsPeriod &period);
// Names of the 40 figures from the file's group and column header lines: the column's name,
// with the quantity in front where the same name serves several quantities ("u_Average",
// "wT_Covariance"). Empty when the two lines are not the statistics header.
std::vector<std::string> StatsColumnNames(const std::string &groupLine, const std::string &columnLine);
// The 40 figures under the names our tools give them, in the order of the period line: the
// group or quantity, what the figure is, and its unit where it has one ("blackout_samples",
// "heating_off_samples", "u_mean_m_s", "T_sd_C", "T_kurtosis_excess", "wT_cov_m_s_C").
const std::vector<std::string> &StatsFigureNames();
// Index of a figure in the period line.
enum StatsIndex {
    NumSamp = 0,
    OffSamp,
    OnGoodSamp,
    OnBadSamp,
    BlockSamp,
    BlockAvg,
    BlockPctAvg,
    UFirst = 7,  // u: GoodSamp, BadSamp, Average, StdDev, Skewness, Kurtosis
    VFirst = 13,
    WFirst = 19,
    TFirst = 25,
    UwFirst = 31,  // GoodSamp, BadSamp, Covariance
    VwFirst = 34,
    WtFirst = 37,
};

// One event-log entry "HH:MM:SS:MMM  CODE  message" of the day's file.
struct LogEntry {
    Millis Time = 0;
    int Code = 0;
    std::string Message;
};
bool ParseLogLine(const std::string &line, Millis dayStart, LogEntry &entry);

// The window of a blackout entry (5006 after a published synchronisation, 5029 after a
// detected clock step): from its start to its end, both included, and the number of samples
// it excluded.
struct Window {
    Millis Start = 0, End = 0;
    long Samples = 0;
};
bool ParseBlackoutMessage(const std::string &message, Window &window);
// Blackout windows logged in the event logs of the days [from, to), plus the day before
// (a window reaches at most a few seconds into the next day).
std::vector<Window> BlackoutWindows(const std::string &directory, Millis from, Millis to);

// ---- Flux files ----------------------------------------------------------------------------
// One CSV per UTC day in the statistics directory, named from the FluxFileTemplate: a header
// row of column names, then one row per flux period, lines ending in CR LF. Rows are read by
// the header's names, so the columns may come in any order and unknown ones are ignored.

constexpr const char *DefaultFluxFileTemplate = ::DefaultFluxFileTemplate;
constexpr long DefaultFluxPeriod = 1800;  // seconds

// The columns of a flux row, in the order the program writes them.
const std::vector<std::string> &FluxColumns();
enum FluxIndex {
    FluxStart = 0,
    FluxEnd,
    FluxSamples,
    FluxExcluded,
    FluxWindSpeed = 12,
    FluxWindDir = 13,
    FluxUstar = 24,
    FluxTau = 25,
    FluxH = 26,
    FluxL = 27,
    FluxZeta = 28,
    FluxFlagTau = 32,
    FluxFlagH = 33,
};

struct FluxRow {
    Millis Start = 0, End = 0;
    std::vector<std::string> Fields;  // texts in FluxColumns() order; "" where empty or absent
};

// "2026-12-09T14:30:00Z" (whole seconds, UTC); false for anything else.
bool ParseIsoSecond(const std::string &text, Millis &t);
// Splits one CSV line at its commas; a quoted field may hold commas and doubled quotes.
std::vector<std::string> SplitCsv(const std::string &line);
// The position of each of FluxColumns() in a header line (-1 where it is absent); empty when
// the line lacks start or end, or names a column twice.
std::vector<int> FluxHeaderMap(const std::string &headerLine);
// One data row by a header map; false when start or end do not parse, end is not after
// start, or a count or flag is not an unsigned integer.
bool ParseFluxRow(const std::string &line, const std::vector<int> &map, FluxRow &row);

struct FluxFile {
    std::vector<FluxRow> Rows;
    bool HaveHeader = false;
    long Skipped = 0;  // rows that do not parse (a torn last line is not counted: it is unfinished)
};
// Reads a flux file; false when it cannot be opened. A last line without its line end is
// still being written and is left out.
bool ReadFluxFile(const std::string &path, FluxFile &file);

// Where the flux rows are found and how long a period is: FluxFileTemplate and FluxPeriod of
// the instrument's registry key, or the defaults where the store, the key or a usable value is
// missing. A template that would name a file outside the directory is not used.
struct FluxSettings {
    std::string FileTemplate = DefaultFluxFileTemplate;
    long PeriodSeconds = DefaultFluxPeriod;  // 0: fluxes are switched off
};
FluxSettings ReadFluxSettings();
// The flux file name of the UTC day that holds t.
std::string FluxFileName(Millis t, const std::string &fileTemplate = DefaultFluxFileTemplate);
// The rows of the days [from, to) (day starts), sorted by start; skipped counts rows that do
// not parse.
std::vector<FluxRow> FluxRows(const std::string &directory, const std::string &fileTemplate, Millis from,
                              Millis to, long *skipped = nullptr);

}  // namespace station
