#include "tools/publish/Publisher.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/EventCodes.h"

namespace publish {

using station::DayMs;
using station::HourMs;

namespace {

const char CursorTag[] = "kestrune-publish cursor 1";

// Calls fn(line, offsetAfterLine) for each complete line from byte offset on (offset is the
// start of a line); the CR LF is removed. A last line without its line feed is still being
// written and is left out. Lines longer than a megabyte are garbage and are skipped.
template <typename Fn>
bool ForEachLineFrom(const std::string &path, std::uint64_t offset, Fn fn) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    if (offset > 0 && std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) {
        std::fclose(file);
        return false;
    }
    std::string line;
    bool tooLong = false;
    char block[65536];
    size_t n;
    bool go = true;
    std::uint64_t blockStart = offset;  // file offset of block[0]
    while (go && (n = std::fread(block, 1, sizeof block, file)) > 0) {
        size_t start = 0;
        for (size_t i = 0; i < n && go; ++i) {
            if (block[i] != '\n')
                continue;
            line.append(block + start, i - start);
            start = i + 1;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!tooLong)
                go = fn(line, blockStart + i + 1);
            line.clear();
            tooLong = false;
        }
        if (go) {
            line.append(block + start, n - start);
            if (line.size() > (1u << 20)) {
                tooLong = true;
                line.clear();
            }
        }
        blockStart += n;
    }
    std::fclose(file);
    return true;
}

std::vector<std::string> SplitCommas(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
}

// The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(const std::string &text) {
    size_t i = 0, n = text.size();
    auto digits = [&] {
        size_t from = i;
        while (i < n && text[i] >= '0' && text[i] <= '9')
            ++i;
        return i > from;
    };
    if (i < n && text[i] == '-')
        ++i;
    if (i < n && text[i] == '0')
        ++i;
    else if (!digits())
        return false;
    if (i < n && text[i] == '.') {
        ++i;
        if (!digits())
            return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == n;
}

std::string IsoSecond(Millis t) {
    station::Civil c = station::CivilFromMillis(t);
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", c.Year, c.Month, c.Day, c.Hour, c.Minute,
             c.Second);
    return text;
}

}  // namespace

bool LoadCursor(const std::string &path, Cursor &cursor) {
    cursor = Cursor();
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    char line[256] = {};
    bool ok = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    size_t tag = std::strlen(CursorTag);
    long long stats, flux, day;
    unsigned long long offset;
    char end = 0;
    if (!ok || std::strncmp(line, CursorTag, tag) != 0 ||
        std::sscanf(line + tag, " %lld %lld %lld %llu%c", &stats, &flux, &day, &offset, &end) != 5 ||
        end != '\n')
        return false;
    cursor.Stats = stats;
    cursor.Flux = flux;
    cursor.EventsDay = day;
    cursor.EventsOffset = offset;
    return true;
}

bool SaveCursor(const std::string &path, const Cursor &cursor) {
    char line[256];
    int n = snprintf(line, sizeof line, "%s %lld %lld %lld %llu\n", CursorTag, cursor.Stats, cursor.Flux,
                     cursor.EventsDay, static_cast<unsigned long long>(cursor.EventsOffset));
    if (n <= 0 || n >= static_cast<int>(sizeof line))
        return false;
    std::string temporary = path + ".new";
    std::FILE *file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(line, 1, static_cast<size_t>(n), file) == static_cast<size_t>(n);
    ok = std::fclose(file) == 0 && ok;
    if (ok)
        ok = std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok)
        std::remove(temporary.c_str());
    return ok;
}

bool ValidTopicLevel(const std::string &name) {
    if (name.empty() || name.size() > 100)
        return false;
    for (unsigned char c : name)
        if (c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7f)
            return false;
    return true;
}

std::string Topic(const std::string &station, const std::string &instrument, const char *leaf) {
    return "kestrune/" + station + "/" + instrument + "/" + leaf;
}

std::string JsonString(const std::string &text) {
    std::string json = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += static_cast<char>(c);
        }
    }
    return json + "\"";
}

std::string JsonFigure(const std::string &text) {
    if (text.empty() || station::IsMissingStats(text) || station::IsMissingRaw(text))
        return "null";
    if (IsJsonNumber(text))
        return text;
    // The program writes "1." and ".5" for some figures: numbers, but not in JSON's spelling.
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0' && std::isfinite(value)) {
        char number[40];
        snprintf(number, sizeof number, "%.17g", value);
        if (IsJsonNumber(number))
            return number;
    }
    return JsonString(text);
}

std::string StatsJson(const station::StatsPeriod &period, const std::vector<std::string> &names) {
    std::string json = "{\"start\":" + JsonString(station::IsoTime(period.Start)) +
                       ",\"end\":" + JsonString(station::IsoTime(period.End));
    for (size_t i = 0; i < period.Fields.size(); ++i) {
        std::string name = i < names.size() && !names[i].empty() ? names[i] : "figure" + std::to_string(i);
        json += "," + JsonString(name) + ":" + JsonFigure(period.Fields[i]);
    }
    return json + "}";
}

std::string EventJson(const station::LogEntry &entry, const std::string &logName, std::uint64_t offset) {
    return "{\"time\":" + JsonString(station::IsoTime(entry.Time)) +
           ",\"code\":" + std::to_string(entry.Code) + ",\"message\":" + JsonString(entry.Message) +
           ",\"log\":" + JsonString(logName) + ",\"offset\":" + std::to_string(offset) + "}";
}

std::string HealthJson(const std::string &station, const std::string &instrument, Millis now,
                       const std::string &statusJson, long errorsToday, const std::string &page) {
    std::string status = statusJson;
    while (!status.empty() && (status.back() == '\n' || status.back() == '\r'))
        status.pop_back();
    if (status.empty())
        status = "null";
    return "{\"station\":" + JsonString(station) + ",\"instrument\":" + JsonString(instrument) +
           ",\"state\":\"online\",\"time\":" + JsonString(IsoSecond(now)) +
           ",\"errorsToday\":" + std::to_string(errorsToday) +
           ",\"page\":" + (page.empty() ? std::string("null") : JsonString(page)) + ",\"status\":" + status +
           "}";
}

long ErrorsToday(const std::string &logDirectory, Millis now) {
    const Millis day = station::DayOf(now);
    long errors = 0;
    ForEachLineFrom(
        logDirectory + "/" + station::LogFileName(day), 0, [&](const std::string &line, std::uint64_t) {
            station::LogEntry entry;
            if (station::ParseLogLine(line, day, entry) && IsErrorEvent(entry.Code, entry.Message.c_str()))
                ++errors;
            return true;
        });
    return errors;
}

std::string OfflineJson(const std::string &station, const std::string &instrument) {
    return "{\"station\":" + JsonString(station) + ",\"instrument\":" + JsonString(instrument) +
           ",\"state\":\"offline\"}";
}

bool ParseIsoTime(const std::string &text, Millis &t) {
    int year, month, day, hour, minute, second, millisecond = 0, consumed = 0;
    const bool withMillis = text.size() == 24;
    if ((text.size() != 20 && !withMillis) ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                    &consumed) != 6 ||
        consumed != 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text.back() != 'Z')
        return false;
    if (withMillis) {
        if (text[19] != '.' || !std::isdigit(static_cast<unsigned char>(text[20])) ||
            !std::isdigit(static_cast<unsigned char>(text[21])) ||
            !std::isdigit(static_cast<unsigned char>(text[22])))
            return false;
        millisecond = std::atoi(text.substr(20, 3).c_str());
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return false;
    t = station::MillisFromCivil(year, month, day, hour, minute, second, millisecond);
    return station::CivilFromMillis(t).Day == day;
}

namespace {

// The text of a "name":"text" member of one of our own payloads ("" when there is none).
std::string TextMember(const std::string &payload, const char *name) {
    std::string key = std::string("\"") + name + "\":\"";
    size_t at = payload.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    size_t end = payload.find('"', at);
    return end == std::string::npos ? "" : payload.substr(at, end - at);
}

}  // namespace

bool AdvanceFromRetained(const std::string &leaf, const std::string &payload, Cursor &cursor) {
    Millis start = 0;
    if (leaf == "stats" || leaf == "flux") {
        if (!ParseIsoTime(TextMember(payload, "start"), start))
            return false;
        Millis &mark = leaf == "stats" ? cursor.Stats : cursor.Flux;
        if (start <= mark)
            return false;
        mark = start;
        return true;
    }
    if (leaf != "events")
        return false;
    station::FileKind kind;
    Millis day = 0;
    size_t at = payload.find("\"offset\":");
    if (!station::ParseFileName(TextMember(payload, "log"), kind, day) || kind != station::FileKind::Log ||
        at == std::string::npos)
        return false;
    const std::uint64_t offset = std::strtoull(payload.c_str() + at + 9, nullptr, 10);
    if (day < cursor.EventsDay || (day == cursor.EventsDay && offset <= cursor.EventsOffset))
        return false;
    cursor.EventsDay = day;
    cursor.EventsOffset = offset;
    return true;
}

std::string FluxFileName(Millis day) {
    // lab0<YYJJJ>_flux.csv: the log's name gives YYJJJ of the day.
    std::string log = station::LogFileName(day);
    return "lab0" + log.substr(0, 5) + "_flux.csv";
}

bool ReadFluxFile(const std::string &directory, Millis day, std::vector<std::string> &names,
                  std::vector<FluxRow> &rows) {
    names.clear();
    rows.clear();
    bool header = true;
    return ForEachLineFrom(directory + "/" + FluxFileName(day), 0,
                           [&](const std::string &line, std::uint64_t) {
                               std::vector<std::string> fields = SplitCommas(line);
                               if (header) {
                                   header = false;
                                   if (fields.size() < 2 || fields[0] != "start" || fields[1] != "end")
                                       return false;
                                   names = fields;
                                   return true;
                               }
                               FluxRow row;
                               if (fields.size() != names.size() || !ParseIsoTime(fields[0], row.Start) ||
                                   !ParseIsoTime(fields[1], row.End))
                                   return true;  // a row that does not parse is left out
                               row.Fields = std::move(fields);
                               rows.push_back(std::move(row));
                               return true;
                           });
}

std::string FluxJson(const FluxRow &row, const std::vector<std::string> &names) {
    std::string json = "{\"start\":" + JsonString(row.Fields[0]) + ",\"end\":" + JsonString(row.Fields[1]);
    for (size_t i = 2; i < row.Fields.size() && i < names.size(); ++i)
        json += "," + JsonString(names[i]) + ":" + JsonFigure(row.Fields[i]);
    return json + "}";
}

Source::Batch Source::Collect(const Cursor &from, Millis now, size_t max) const {
    Batch batch;
    batch.End = from;
    CollectStats(batch.End, now, max, batch.Messages);
    CollectFlux(batch.End, now, max, batch.Messages);
    CollectEvents(batch.End, now, max, batch.Messages);
    return batch;
}

void Source::CollectStats(Cursor &cursor, Millis now, size_t max, std::vector<Message> &out) const {
    const Millis oldest = now - CatchUpMs;
    const Millis after = cursor.Stats < oldest ? oldest - 1 : cursor.Stats;
    const Millis firstHour = (after + 1) / HourMs * HourMs;
    for (const auto &file :
         station::ListFiles(statsDirectory_, station::FileKind::Stats, firstHour, now + HourMs)) {
        std::vector<std::string> header;
        std::vector<std::string> names;
        station::ForEachLine(file.Path, [&](const std::string &line) {
            if (header.size() < 3) {
                header.push_back(line);
                // A file with the statistics header holds the 40 figures; they carry the names
                // of the export's statistics CSV.
                if (header.size() == 3 && !station::StatsColumnNames(header[1], header[2]).empty())
                    names = station::StatsFigureNames();
                return true;
            }
            station::StatsPeriod period;
            if (!station::ParseStatsLine(line, file.Start, period) || period.Start <= after ||
                period.Start <= cursor.Stats)
                return true;
            if (out.size() >= max)
                return false;
            cursor.Stats = period.Start;
            out.push_back({Topic(station_, instrument_, "stats"), StatsJson(period, names), true, cursor});
            return true;
        });
        if (out.size() >= max)
            return;
    }
}

void Source::CollectFlux(Cursor &cursor, Millis now, size_t max, std::vector<Message> &out) const {
    if (out.size() >= max)
        return;
    const Millis oldest = now - CatchUpMs;
    const Millis after = cursor.Flux < oldest ? oldest - 1 : cursor.Flux;
    for (Millis day = station::DayOf(after + 1); day <= now; day += DayMs) {
        std::vector<std::string> names;
        std::vector<FluxRow> rows;
        if (!ReadFluxFile(statsDirectory_, day, names, rows))
            continue;
        for (const auto &row : rows) {
            if (row.Start <= after || row.Start <= cursor.Flux)
                continue;
            if (out.size() >= max)
                return;
            cursor.Flux = row.Start;
            out.push_back({Topic(station_, instrument_, "flux"), FluxJson(row, names), true, cursor});
        }
    }
}

void Source::CollectEvents(Cursor &cursor, Millis now, size_t max, std::vector<Message> &out) const {
    if (out.size() >= max)
        return;
    const Millis oldest = now - CatchUpMs;
    Millis firstDay = station::DayOf(oldest);
    if (cursor.EventsDay > firstDay)
        firstDay = cursor.EventsDay;
    for (const auto &file :
         station::ListFiles(logDirectory_, station::FileKind::Log, firstDay, now + DayMs)) {
        std::uint64_t offset = file.Start == cursor.EventsDay ? cursor.EventsOffset : 0;
        if (offset > static_cast<std::uint64_t>(station::FileSize(file.Path)))
            offset = 0;  // a log that is shorter than the cursor is another file: read it anew
        bool full = false;
        ForEachLineFrom(file.Path, offset, [&](const std::string &line, std::uint64_t end) {
            station::LogEntry entry;
            bool publish = station::ParseLogLine(line, file.Start, entry) && entry.Time >= oldest &&
                           IsErrorEvent(entry.Code, entry.Message.c_str());
            if (publish && out.size() >= max) {
                full = true;
                return false;
            }
            cursor.EventsDay = file.Start;
            cursor.EventsOffset = end;
            if (publish)
                out.push_back({Topic(station_, instrument_, "events"),
                               EventJson(entry, station::LogFileName(file.Start), end), true, cursor});
            return true;
        });
        if (full)
            return;
        // A day whose log holds nothing new still moves the cursor on to it.
        if (cursor.EventsDay < file.Start) {
            cursor.EventsDay = file.Start;
            cursor.EventsOffset = 0;
        }
    }
}

}  // namespace publish
