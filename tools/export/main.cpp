// kestrune-export: writes the raw samples, the statistics periods and the flux periods of one
// UTC day (or a range of days) from the data directory to CSV files that analysis tools read.
// It only reads the data directory and refuses to write into it.
//
//   kestrune-export [--instance NAME] [--data-dir DIR] [--raw FILE] [--stats FILE] [--flux FILE]
//                   [--events FILE] [--missing TEXT] FIRST_DAY [LAST_DAY]
//
// The station is found as the program finds it (tools/stationfiles/StationLocation.h): the
// options file of the station or of --instance, the registry, --data-dir (a drive path or a
// native absolute one).
//
// Days are YYYY-MM-DD (UTC); LAST_DAY is included. FILE "-" is standard output; without
// --raw, --stats and --flux all three go to the current directory as kestrune-raw-<days>.csv,
// kestrune-stats-<days>.csv and kestrune-flux-<days>.csv. --events writes the event-log entries of
// the days, each with its code's name and severity from the table of event codes.
//
//   kestrune-export [--instance NAME] [--data-dir DIR] --closed
//
// lists the data directory's files that will not change any more (see ClosedFiles.h).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "services/EventCodes.h"
#include "tools/export/ClosedFiles.h"
#include "tools/stationfiles/StationFiles.h"
#include "tools/stationfiles/StationLocation.h"

using namespace station;

namespace {

const char Usage[] =
    "usage: kestrune-export [--instance NAME] [--data-dir DIR] [--raw FILE] [--stats FILE] [--flux FILE]\n"
    "                       [--events FILE] [--missing TEXT] FIRST_DAY [LAST_DAY]\n"
    "  The station is the program's: the options file (/etc/default/kestrune, or\n"
    "  /etc/kestrune/NAME.conf with --instance NAME), the registry and --data-dir, a drive path\n"
    "  such as D:\\Station or a native one such as /srv/flux/data.\n"
    "  Days are YYYY-MM-DD (UTC), LAST_DAY included. FILE - is standard output.\n"
    "  Without --raw, --stats and --flux all three are written to the current directory as\n"
    "  kestrune-raw-<days>.csv, kestrune-stats-<days>.csv and kestrune-flux-<days>.csv.\n"
    "  --events FILE: the event-log entries with their code's name and severity.\n"
    "  --missing TEXT: what a missing value is written as (default: an empty field).\n"
    "usage: kestrune-export [--instance NAME] [--data-dir DIR] --closed\n"
    "  Lists the files that will not change any more (hours and days that are over, zips whose\n"
    "  file is gone), one name a line relative to the data directory, for rsync --files-from.\n";

// A CSV field: quoted when it holds a separator, a quote or a line end.
std::string Csv(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

class Output {
public:
    bool Open(const std::string &path) {
        path_ = path;
        if (path == "-") {
            file_ = stdout;
            return true;
        }
        file_ = std::fopen(path.c_str(), "wb");
        return file_ != nullptr;
    }
    void Line(const std::string &text) {
        std::fwrite(text.data(), 1, text.size(), file_);
        std::fwrite("\r\n", 1, 2, file_);
    }
    bool Close() {
        bool ok = file_ && std::ferror(file_) == 0;
        if (file_ && file_ != stdout)
            ok = std::fclose(file_) == 0 && ok;
        else if (file_)
            ok = std::fflush(file_) == 0 && ok;
        file_ = nullptr;
        return ok;
    }

private:
    std::string path_;
    std::FILE *file_ = nullptr;
};

// True when path lies inside directory (both resolved as far as they exist).
bool Inside(const std::string &path, const std::string &directory) {
    std::error_code error;
    auto dir = std::filesystem::weakly_canonical(directory, error);
    if (error)
        return false;
    auto target = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    if (error)
        return false;
    auto d = dir.begin(), t = target.begin();
    for (; d != dir.end() && t != target.end(); ++d, ++t)
        if (*d != *t)
            return false;
    return d == dir.end() || (std::next(d) == dir.end() && d->empty());
}

struct Counts {
    long rows = 0;
    long skipped = 0;
};

Counts ExportRaw(const std::string &directory, Millis from, Millis to, const std::string &missing,
                 Output &out) {
    Counts counts;
    std::vector<Window> windows = BlackoutWindows(directory, from, to);
    out.Line("time,status,u,v,w,Ts,A1,A2,A3,A4,blackout");
    size_t next = 0;  // first window that may still hold a sample (samples come in time order)
    for (const auto &file : ListFiles(directory, FileKind::Raw, from, to)) {
        bool first = true;
        ForEachLine(file.Path, [&](const std::string &line) {
            RawSample sample;
            if (!ParseRawLine(line, file.Start, sample)) {
                // The first line of a file is its header.
                if (!first)
                    ++counts.skipped;
                first = false;
                return true;
            }
            first = false;
            while (next < windows.size() && windows[next].End < sample.Time)
                ++next;
            bool blackout = false;
            for (size_t i = next; i < windows.size() && windows[i].Start <= sample.Time; ++i)
                if (sample.Time <= windows[i].End)
                    blackout = true;
            std::string row = IsoTime(sample.Time) + "," + Csv(sample.Status);
            for (const auto &value : sample.Values)
                row += "," + (IsMissingRaw(value) ? missing : value);
            row += blackout ? ",1" : ",0";
            out.Line(row);
            ++counts.rows;
            return true;
        });
    }
    return counts;
}

Counts ExportStats(const std::string &directory, Millis from, Millis to, const std::string &missing,
                   Output &out) {
    Counts counts;
    std::vector<DataFile> files = ListFiles(directory, FileKind::Stats, from, to);
    std::string header = "start,end,duration_s";
    for (const auto &name : StatsFigureNames())
        header += "," + name;
    out.Line(header);
    for (const auto &file : files) {
        int lineNumber = 0;
        ForEachLine(file.Path, [&](const std::string &line) {
            ++lineNumber;
            StatsPeriod period;
            if (!ParseStatsLine(line, file.Start, period)) {
                if (lineNumber > 3)
                    ++counts.skipped;
                return true;
            }
            // The length shows a partial period (the first after a start, the last before a
            // stop) among the whole ones.
            char duration[32];
            std::snprintf(duration, sizeof duration, ",%lld.%03lld", (period.End - period.Start) / 1000,
                          (period.End - period.Start) % 1000);
            std::string row = IsoTime(period.Start) + "," + IsoTime(period.End) + duration;
            for (const auto &field : period.Fields)
                row += "," + (IsMissingStats(field) ? missing : field);
            out.Line(row);
            ++counts.rows;
            return true;
        });
    }
    return counts;
}

// The station's flux file template and period, as configured.
FluxSettings StationFlux;

// The flux rows of the days, by the file's header names, in the program's column order.
Counts ExportFlux(const std::string &directory, Millis from, Millis to, const std::string &missing,
                  Output &out) {
    Counts counts;
    const std::vector<std::string> &columns = FluxColumns();
    std::string header;
    for (const auto &name : columns)
        header += (header.empty() ? "" : ",") + name;
    out.Line(header);
    for (const auto &row : FluxRows(directory, StationFlux.FileTemplate, from, to, &counts.skipped)) {
        std::string line = IsoSecond(row.Start) + "," + IsoSecond(row.End);
        for (size_t i = FluxSamples; i < columns.size(); ++i)
            line += "," + (row.Fields[i].empty() ? missing : row.Fields[i]);
        out.Line(line);
        ++counts.rows;
    }
    return counts;
}

// The event-log entries of the days, classified by the table of event codes.
Counts ExportEvents(const std::string &directory, Millis from, Millis to, const std::string &, Output &out) {
    Counts counts;
    out.Line("time,code,name,severity,message");
    for (const auto &file : ListFiles(directory, FileKind::Log, from, to)) {
        int lineNumber = 0;
        ForEachLine(file.Path, [&](const std::string &line) {
            LogEntry entry;
            if (!ParseLogLine(line, file.Start, entry)) {
                if (++lineNumber > 3)  // the header's three lines
                    ++counts.skipped;
                return true;
            }
            ++lineNumber;
            const EventCodeDefinition *code = FindEventCode(entry.Code);
            out.Line(IsoTime(entry.Time) + "," + std::to_string(entry.Code) + "," + (code ? code->Name : "") +
                     "," + SeverityName(EventSeverityOf(entry.Code, entry.Message.c_str())) + "," +
                     Csv(entry.Message));
            ++counts.rows;
            return true;
        });
    }
    return counts;
}

// What the command line asks for.
struct Options {
    std::string directory, instance;
    std::string rawPath, statsPath, fluxPath, eventsPath, missing;
    std::vector<std::string> days;
    bool closed = false;
};

// The phases below return this to go on; anything else is the exit status.
const int GoOn = -1;

int ParseArguments(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string &into) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrune-export: %s needs a value\n%s", arg.c_str(), Usage);
                std::exit(2);
            }
            into = argv[++i];
        };
        if (arg == "--data-dir")
            value(o.directory);
        else if (arg == "--instance")
            value(o.instance);
        else if (arg == "--raw")
            value(o.rawPath);
        else if (arg == "--stats")
            value(o.statsPath);
        else if (arg == "--flux")
            value(o.fluxPath);
        else if (arg == "--events")
            value(o.eventsPath);
        else if (arg == "--missing")
            value(o.missing);
        else if (arg == "--closed")
            o.closed = true;
        else if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            std::fprintf(stderr, "kestrune-export: unknown option %s\n%s", arg.c_str(), Usage);
            return 2;
        } else
            o.days.push_back(arg);
    }
    return GoOn;
}

// The station as the program finds it: its data directory replaces the option's, its flux
// settings are the export's.
int FindStation(Options &o) {
    Location location;
    std::string problem;
    if (!LocateStation(o.instance, o.directory, location, problem)) {
        std::fprintf(stderr, "kestrune-export: %s\n", problem.c_str());
        return 2;
    }
    o.directory = location.Directory;
    StationFlux = location.Flux;
    return GoOn;
}

bool IsDataDirectory(const std::string &directory) {
    std::error_code error;
    if (std::filesystem::is_directory(directory, error))
        return true;
    std::fprintf(stderr, "kestrune-export: no data directory %s\n", directory.c_str());
    return false;
}

// --closed: the files that will not change any more, one a line.
int ListClosed(const Options &o) {
    if (!o.days.empty() || !o.rawPath.empty() || !o.statsPath.empty() || !o.eventsPath.empty()) {
        std::fprintf(stderr, "kestrune-export: --closed takes no days and no output files\n%s", Usage);
        return 2;
    }
    if (!IsDataDirectory(o.directory))
        return 1;
    Millis now = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    for (const auto &name : closedfiles::ClosedFiles(o.directory, now))
        std::printf("%s\n", name.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// The days as the first and the last day's start, the missing value's text and the data directory.
int CheckDays(const Options &o, Millis &first, Millis &last) {
    if (o.days.empty() || o.days.size() > 2 || !ParseDay(o.days[0], first) ||
        !ParseDay(o.days.back(), last) || last < first) {
        std::fprintf(stderr, "kestrune-export: give one day or a range of two days as YYYY-MM-DD\n%s", Usage);
        return 2;
    }
    if (o.missing.find_first_of(",\"\r\n") != std::string::npos) {
        std::fprintf(stderr, "kestrune-export: --missing cannot hold a comma, a quote or a line end\n");
        return 2;
    }
    if (!IsDataDirectory(o.directory))
        return 1;
    return GoOn;
}

// The output files: named after the days when none is given, never in the data directory, at
// most one of them standard output.
int ChooseOutputs(Options &o) {
    if (o.rawPath.empty() && o.statsPath.empty() && o.fluxPath.empty() && o.eventsPath.empty()) {
        std::string span = o.days[0] + (o.days.size() == 2 ? "_" + o.days[1] : "");
        o.rawPath = "kestrune-raw-" + span + ".csv";
        o.statsPath = "kestrune-stats-" + span + ".csv";
        o.fluxPath = "kestrune-flux-" + span + ".csv";
    }
    for (const std::string *path : {&o.rawPath, &o.statsPath, &o.fluxPath, &o.eventsPath}) {
        if (!path->empty() && *path != "-" && Inside(*path, o.directory)) {
            std::fprintf(stderr,
                         "kestrune-export: %s lies in the data directory; the export never writes there\n",
                         path->c_str());
            return 2;
        }
    }
    if ((o.rawPath == "-") + (o.statsPath == "-") + (o.fluxPath == "-") + (o.eventsPath == "-") > 1) {
        std::fprintf(
            stderr,
            "kestrune-export: only one of --raw, --stats, --flux and --events can be standard output\n");
        return 2;
    }
    return GoOn;
}

// Each output asked for, with a line on stderr of what it holds; 1 when one could not be
// written, the others are written all the same.
int ExportAll(const Options &o, Millis first, Millis to) {
    int status = 0;
    struct Job {
        const std::string &path;
        const char *what;
        Counts (*run)(const std::string &, Millis, Millis, const std::string &, Output &);
    };
    for (const Job &job :
         {Job{o.rawPath, "raw samples", ExportRaw}, Job{o.statsPath, "statistics periods", ExportStats},
          Job{o.fluxPath, "flux periods", ExportFlux},
          Job{o.eventsPath, "event-log entries", ExportEvents}}) {
        if (job.path.empty())
            continue;
        Output out;
        if (!out.Open(job.path)) {
            std::fprintf(stderr, "kestrune-export: cannot write %s: %s\n", job.path.c_str(),
                         std::strerror(errno));
            status = 1;
            continue;
        }
        Counts counts = job.run(o.directory, first, to, o.missing, out);
        if (!out.Close()) {
            std::fprintf(stderr, "kestrune-export: error writing %s\n", job.path.c_str());
            status = 1;
            continue;
        }
        std::fprintf(stderr, "%s: %ld %s", job.path == "-" ? "stdout" : job.path.c_str(), counts.rows,
                     job.what);
        if (counts.skipped)
            std::fprintf(stderr, " (%ld malformed lines skipped)", counts.skipped);
        std::fprintf(stderr, "\n");
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int status = ParseArguments(argc, argv, o);
    if (status == GoOn)
        status = FindStation(o);
    if (status != GoOn)
        return status;
    if (o.closed)
        return ListClosed(o);
    Millis first = 0, last = 0;
    status = CheckDays(o, first, last);
    if (status == GoOn)
        status = ChooseOutputs(o);
    if (status != GoOn)
        return status;
    return ExportAll(o, first, last + DayMs);
}
