// The station's outside names and formats: what the program leaves for other programs to find
// and read (its process id file, its data directory, the shared clock-synchronisation block,
// the headers of its files, the dates and times in its files and messages, the "ArchiveDate"
// text). The program's writers and the tools that read the files back use these definitions
// alone, so a writer and its reader cannot drift apart.
#pragma once

#include <string>

#include "platform/win32.h"

// The running instance's process id, a file in the data directory.
constexpr char ProcessIdFileName[] = "kestrune.pid";
// The data directory when none is configured (a drive path, which the platform layer maps).
constexpr char DefaultDataDirectoryPath[] = "C:\\Data\\Code\\Projects\\Win32Console\\Kestrune";
// The file-name templates when none are configured.
constexpr char DefaultRawFileTemplate[] = "lab0<YYJJJHH>_raw.txt";
constexpr char DefaultStatsFileTemplate[] = "lab0<YYJJJHH>_stats.txt";
constexpr char DefaultFluxFileTemplate[] = "lab0<YYJJJ>_flux.csv";

// The clock-synchronisation block: one UTC SYSTEMTIME at offset 0 of a named mapping of
// ClockSyncBlockSize bytes, read and written only while the named mutex is held.
constexpr char ClockSyncMutexName[] = "ClockSyncMutex";
constexpr char ClockSyncMapName[] = "ClockSyncFileMap";
constexpr DWORD ClockSyncBlockSize = 16;

// The SYSTEMTIME of a calendar date and time of day, fields as given (no check; the day of
// the week left 0).
SYSTEMTIME Moment(int year, int month, int day, int hour, int minute, int second, int millisecond);

// A short formatted text, returned by value so that each thread formats into its own.
struct StampText {
    char Text[64];
};
// "MM/DD/YY": the date of the event log's header and of times inside messages.
StampText ShortDate(const SYSTEMTIME &time);
// "HH:MM:SS:mmm": the time of an event-log entry.
StampText LogClock(const SYSTEMTIME &time);
// "MM/DD/YY HH:MM:SS:mmm": a moment inside a message (blackout windows, clock steps).
StampText ShortDateClock(const SYSTEMTIME &time);
// "MM/DD/YY HH:MM:SS": a moment to the second inside a message (compression threshold, the
// zip utility's time filter).
StampText ShortDateSecond(const SYSTEMTIME &time);
// "2026-12-09T03:04:47.965Z", or "2026-12-09T03:04:47Z" without milliseconds: the times our
// own tools print (status, the station page, the export).
StampText IsoTime(const SYSTEMTIME &time, bool milliseconds = true);
// Reads "M/D/YY H:M:S:mmm" (as ShortDateClock writes it; the year is 2000 + YY); *end points
// past the text read. false when the text does not start with such a moment.
bool ParseShortDateClock(const char *text, SYSTEMTIME *time, const char **end = nullptr);

// The "ArchiveDate" bookkeeping value, "MM/DD/YYYY HH:MM:SS UTC", and its reading back; the
// parse refuses anything else, and dates that do not exist.
StampText ArchiveDateText(const SYSTEMTIME &time);
bool ParseArchiveDate(const char *text, SYSTEMTIME *time);

// The first line of a new raw file for a time-key format (1 or 2; nothing for 0), ending in
// CR LF: "MM/DD/YY name (SN: serial)" or "MM/DD/YYYY HH:00 name (SN: serial)". Returns the
// length written, cut to the buffer.
int FormatRawHeader(char *buffer, size_t size, int timeKeyFormat, const SYSTEMTIME &time,
                    const char *instrumentName, const char *serialNumber);

// The three header lines of a statistics file: its title for the period's hour, then the
// fixed group and column lines (each ending in CR LF).
std::string StatsFileHeader(const char *instrumentName, const char *serialNumber, const SYSTEMTIME &hour);
extern const char StatsGroupLine[];
extern const char StatsColumnLine[];

// The name of a day's event-log file, "YYJJJ.log".
StampText EventLogFileName(const SYSTEMTIME &day);
// The event log: a day's file opens with "MM/DD/YY name", an empty line and the column line;
// each entry is "HH:MM:SS:mmm  CODE  message" (the code right-aligned in four columns).
// Both append to text; false (text unchanged) when it cannot be formatted or stored.
bool AppendEventLogHeader(std::string &text, const SYSTEMTIME &day, const char *logName);
bool AppendEventLogLine(std::string &text, const SYSTEMTIME &time, LONG code, const char *message);
// One entry read back (without its CR LF); false for a line that is not an entry (the
// header, a torn or foreign line). The time of day goes into the hour to millisecond fields.
struct EventLogEntryText {
    SYSTEMTIME Time;
    LONG Code;
    const char *Message;  // points into the line
};
bool ParseEventLogLine(const char *line, EventLogEntryText *entry);
