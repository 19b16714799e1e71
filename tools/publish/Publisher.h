// What kestrune-publish sends, gathered from the station's files: each statistics period, each
// flux row and each error entry of the event log that lies beyond the publisher's cursor, as
// JSON messages with their topics. It only reads the station's files; the cursor lives in a
// state file of the publisher's own.
//
// Topics: kestrune/<station>/<instrument>/health|stats|flux|events.
//
// The cursor holds, per stream, the last item the broker has acknowledged: the start of the
// last statistics period and of the last flux row, and the event log's day and the byte
// offset after the last entry read. Catching up is bounded: nothing older than CatchUpMs
// before now is published, and one look gathers at most a batch of messages.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/stationfiles/StationFiles.h"

namespace publish {

using station::Millis;

// How far back a publisher looks after a restart, a broker outage or without a cursor.
constexpr Millis CatchUpMs = 24 * station::HourMs;

struct Cursor {
    Millis Stats = -1;      // start of the last statistics period published (-1: none)
    Millis Flux = -1;       // start of the last flux row published
    Millis EventsDay = -1;  // the day of the event log read up to EventsOffset
    std::uint64_t EventsOffset = 0;

    bool operator==(const Cursor &other) const {
        return Stats == other.Stats && Flux == other.Flux && EventsDay == other.EventsDay &&
               EventsOffset == other.EventsOffset;
    }
    bool operator!=(const Cursor &other) const { return !(*this == other); }
};

// The state file: one line "kestrune-publish cursor 1 <stats> <flux> <day> <offset>". A file that
// is missing or does not parse gives the empty cursor. Saving writes a new file beside it and
// renames it over the old one, so a crash leaves the old or the new cursor, never half of one.
bool LoadCursor(const std::string &path, Cursor &cursor);
bool SaveCursor(const std::string &path, const Cursor &cursor);

struct Message {
    std::string Topic;
    std::string Payload;
    bool Retain = false;
    Cursor After;  // the cursor once the broker has this message
};

// A topic level: the station's name must not be empty or hold '/', '+', '#' or control
// characters.
bool ValidTopicLevel(const std::string &name);
std::string Topic(const std::string &station, const std::string &instrument, const char *leaf);

// JSON texts.
std::string JsonString(const std::string &text);
// A figure as written by the program: a JSON number when it is one, null when it is empty or
// stands for a missing value, else a string.
std::string JsonFigure(const std::string &text);
std::string StatsJson(const station::StatsPeriod &period, const std::vector<std::string> &names);
// An error entry with where it lies: the log's name and the offset after its line.
std::string EventJson(const station::LogEntry &entry, const std::string &logName, std::uint64_t offset);
// statusJson is the object `kestrune status --json` prints; errorsToday the count of today's
// error entries; page the station's own page ("" for none).
std::string HealthJson(const std::string &station, const std::string &instrument, Millis now,
                       const std::string &statusJson, long errorsToday, const std::string &page);
// The error entries of the event log of the day that holds now.
long ErrorsToday(const std::string &logDirectory, Millis now);
// The retained health message a departed publisher leaves: its last will, or what it sends
// when it is stopped.
std::string OfflineJson(const std::string &station, const std::string &instrument);

// One flux row: the header names and the row's fields.
struct FluxRow {
    Millis Start = 0, End = 0;
    std::vector<std::string> Fields;
};
// ---- Flux file reading, kept to this one function until the shared reader of the station's
// files reads flux files: the day's "lab0<YYJJJ>_flux.csv" in the statistics directory, its
// header row into names, each complete row whose start parses into rows. False when the file
// cannot be read.
bool ReadFluxFile(const std::string &directory, Millis day, std::vector<std::string> &names,
                  std::vector<FluxRow> &rows);
std::string FluxFileName(Millis day);
std::string FluxJson(const FluxRow &row, const std::vector<std::string> &names);

// "2026-12-09T14:30:00Z" or "2026-12-09T14:30:00.125Z" -> milliseconds; false when it is not
// such a time.
bool ParseIsoTime(const std::string &text, Millis &t);

// The last statistics period, flux row and error entry a broker holds are its retained
// messages on our topics. After a reconnection they tell what the broker got although its
// acknowledgement was lost with the connection: the cursor moves on to the retained message of
// the stream leaf ("stats", "flux", "events") when that lies beyond it. Returns whether it moved.
bool AdvanceFromRetained(const std::string &leaf, const std::string &payload, Cursor &cursor);

class Source {
public:
    // logDirectory holds the event logs, statsDirectory the statistics and flux files.
    Source(std::string logDirectory, std::string statsDirectory, std::string station, std::string instrument)
        : logDirectory_(std::move(logDirectory)),
          statsDirectory_(std::move(statsDirectory)),
          station_(std::move(station)),
          instrument_(std::move(instrument)) {}

    // The messages beyond the cursor, oldest first per stream (statistics, then flux, then
    // events), at most max of them; each carries the cursor after it (and after the ones
    // before it).
    struct Batch {
        std::vector<Message> Messages;
        Cursor End;  // where reading ended: the cursor once every message is acknowledged
    };
    Batch Collect(const Cursor &from, Millis now, size_t max) const;

private:
    void CollectStats(Cursor &cursor, Millis now, size_t max, std::vector<Message> &out) const;
    void CollectFlux(Cursor &cursor, Millis now, size_t max, std::vector<Message> &out) const;
    void CollectEvents(Cursor &cursor, Millis now, size_t max, std::vector<Message> &out) const;

    std::string logDirectory_, statsDirectory_, station_, instrument_;
};

}  // namespace publish
