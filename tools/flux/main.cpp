// kestrune-flux: computes the flux periods of one UTC day (or a range of days) from the raw
// files of the data directory, with the same code and settings as the program's online flux
// file, and writes the rows in the flux file's format (header, CR LF) to a file or to
// standard output. It only reads the data directory and refuses to write into it.
//
//   kestrune-flux [--data-dir DIR] [--output FILE] [--flux-period S] [--measurement-height M]
//                 [--displacement-height M] [--latitude DEG] [--air-pressure HPA]
//                 [--north-offset DEG] [--despike-threshold X] FIRST_DAY [LAST_DAY]
//
// The raw lines need their time key (RawTimeKeyFormat 1 or 2): it gives each sample's stamp to
// the millisecond, the hour comes from the file's name. The late files of failed writes
// ("lab0YYJJJHH_late_raw.txt") are read with the hour's file.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "flux/Flux.h"
#include "tools/stationfiles/StationFiles.h"

using namespace station;

namespace {

const char Usage[] =
    "usage: kestrune-flux [--data-dir DIR] [--output FILE] [--flux-period S] [--measurement-height M]\n"
    "                     [--displacement-height M] [--latitude DEG] [--air-pressure HPA]\n"
    "                     [--north-offset DEG] [--despike-threshold X] FIRST_DAY [LAST_DAY]\n"
    "  Days are YYYY-MM-DD (UTC), LAST_DAY included. Without --output (or with -) the rows go to\n"
    "  standard output. Defaults as the program's: 1800 s, 2.0 m, 0 m, 50, 1013.25 hPa, 0, 7.\n";

// Milliseconds from 1601 to 1970.
constexpr long long EpochOffsetMs = 11644473600000LL;

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

bool ParseDecimal(const std::string &text, double &value) {
    size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (i >= text.size() || text.find_first_not_of("0123456789.", i) != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 ||
        text.find_first_of("0123456789") == std::string::npos)
        return false;
    const auto parsed =
        std::from_chars(text.data() + i, text.data() + text.size(), value, std::chars_format::fixed);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || !std::isfinite(value))
        return false;
    if (text[0] == '-')
        value = -value;
    return true;
}

// The raw files of the hours in [from, to): the hour's own file and its late file.
std::vector<DataFile> RawFiles(const std::string &directory, Millis from, Millis to) {
    std::vector<DataFile> files = ListFiles(directory, FileKind::Raw, from, to);
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        const size_t late = name.find("_late_raw.txt");
        if (late == std::string::npos || late + 13 != name.size())
            continue;
        FileKind kind;
        Millis start;
        if (ParseFileName(name.substr(0, late) + "_raw.txt", kind, start) && start >= from && start < to)
            files.push_back({it->path().string(), FileKind::Raw, start});
    }
    std::stable_sort(files.begin(), files.end(),
                     [](const DataFile &a, const DataFile &b) { return a.Start < b.Start; });
    return files;
}

// A raw line with either time key: "MMSSmmm ..." or "HHMMSSmmm ..." (whose hour is the file's).
bool ParseAnyRawLine(const std::string &line, Millis hourStart, RawSample &sample) {
    if (line.size() > 10 && line[7] != ' ' && line[9] == ' ' && line.find_first_not_of("0123456789") == 9)
        return ParseRawLine(line.substr(2), hourStart, sample);
    return ParseRawLine(line, hourStart, sample);
}

// What the command line asks for.
struct Options {
    std::string Directory = DefaultDataDirectory();
    std::string Output = "-";
    std::vector<std::string> Days;
    flux::Settings Settings;
};

// The phases below return this to go on; anything else is the exit status.
const int GoOn = -1;

// One "--NAME VALUE" pair into the options.
int TakeOption(Options &o, const std::string &arg, const std::string &value) {
    struct DecimalOption {
        const char *Name;
        double *Value;
    };
    const DecimalOption decimals[] = {{"--measurement-height", &o.Settings.MeasurementHeight},
                                      {"--displacement-height", &o.Settings.DisplacementHeight},
                                      {"--latitude", &o.Settings.Latitude},
                                      {"--air-pressure", &o.Settings.AirPressure},
                                      {"--north-offset", &o.Settings.NorthOffset},
                                      {"--despike-threshold", &o.Settings.DespikeThreshold}};
    bool known = true, valid = true;
    if (arg == "--data-dir") {
        o.Directory = value;
    } else if (arg == "--output") {
        o.Output = value;
    } else if (arg == "--flux-period") {
        unsigned period = 0;
        const auto parsed = std::from_chars(value.data(), value.data() + value.size(), period);
        valid = parsed.ec == std::errc() && parsed.ptr == value.data() + value.size() && period >= 60 &&
                period <= 86400 && 86400 % period == 0;
        o.Settings.Period = period;
    } else {
        known = false;
        for (const DecimalOption &option : decimals) {
            if (arg == option.Name) {
                known = true;
                valid = !value.empty() && ParseDecimal(value, *option.Value);
            }
        }
    }
    if (!known) {
        std::fprintf(stderr, "kestrune-flux: unknown option %s; see kestrune-flux --help\n", arg.c_str());
        return 2;
    }
    if (!valid) {
        std::fprintf(stderr, "kestrune-flux: bad value \"%.200s\" for %s; see kestrune-flux --help\n",
                     value.c_str(), arg.c_str());
        return 2;
    }
    return GoOn;
}

int ParseArguments(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrune-flux: %s needs a value; see kestrune-flux --help\n",
                             arg.c_str());
                return 2;
            }
            const int status = TakeOption(o, arg, argv[++i]);
            if (status != GoOn)
                return status;
            continue;
        }
        o.Days.push_back(arg);
    }
    return GoOn;
}

int CheckSettings(const flux::Settings &settings) {
    const char *rule = nullptr;
    if (!(settings.MeasurementHeight > 0.0 && settings.MeasurementHeight <= 1000.0))
        rule = "--measurement-height must be greater than 0 and at most 1000";
    else if (!(settings.DisplacementHeight >= 0.0 &&
               settings.DisplacementHeight < settings.MeasurementHeight))
        rule = "--displacement-height must be at least 0 and less than the measurement height";
    else if (!(settings.Latitude >= -90.0 && settings.Latitude <= 90.0))
        rule = "--latitude must lie within -90 to 90";
    else if (!(settings.AirPressure >= 500.0 && settings.AirPressure <= 1100.0))
        rule = "--air-pressure must lie within 500 to 1100 hPa";
    else if (!(settings.NorthOffset >= -360.0 && settings.NorthOffset <= 360.0))
        rule = "--north-offset must lie within -360 to 360";
    else if (!(settings.DespikeThreshold > 0.0 && settings.DespikeThreshold <= 1000.0))
        rule = "--despike-threshold must be greater than 0 and at most 1000";
    if (rule) {
        std::fprintf(stderr, "kestrune-flux: %s\n", rule);
        return 2;
    }
    return GoOn;
}

// The days as the first and the last day's start; the data directory there, the output outside it.
int CheckDaysAndPlaces(const Options &o, Millis &first, Millis &last) {
    if (o.Days.empty() || o.Days.size() > 2 || !ParseDay(o.Days[0], first) ||
        !ParseDay(o.Days.back(), last) || last < first) {
        std::fprintf(stderr, "kestrune-flux: give one day or a range of two days as YYYY-MM-DD\n%s", Usage);
        return 2;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(o.Directory, error)) {
        std::fprintf(stderr, "kestrune-flux: no data directory %s\n", o.Directory.c_str());
        return 1;
    }
    if (o.Output != "-" && Inside(o.Output, o.Directory)) {
        std::fprintf(stderr,
                     "kestrune-flux: %s lies in the data directory; kestrune-flux never writes there\n",
                     o.Output.c_str());
        return 2;
    }
    return GoOn;
}

// Every sample of [from, to), in stamp order (a late file's samples among their hour's); the
// lines that are not samples are counted in skipped.
std::vector<flux::Record> ReadRecords(const std::string &directory, Millis from, Millis to,
                                      long long &skipped) {
    std::vector<flux::Record> records;
    for (const DataFile &file : RawFiles(directory, from, to)) {
        ForEachLine(file.Path, [&](const std::string &line) {
            RawSample sample;
            if (!ParseAnyRawLine(line, file.Start, sample)) {
                ++skipped;
                return true;
            }
            flux::Record record;
            record.Time = (sample.Time + EpochOffsetMs) * flux::UnitsPerMillisecond;
            double *fields[4] = {&record.U, &record.V, &record.W, &record.T};
            for (int i = 0; i < 4; ++i)
                *fields[i] = flux::ReadRawValue(sample.Values[i].data(), sample.Values[i].size());
            records.push_back(record);
            return true;
        });
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const flux::Record &a, const flux::Record &b) { return a.Time < b.Time; });
    return records;
}

// The periods of the samples, the last one flushed as the program does at its stop.
std::vector<flux::Result> Periods(const flux::Settings &settings, const std::vector<flux::Record> &records) {
    flux::PeriodStream stream(settings);
    std::vector<flux::Result> results;
    for (const flux::Record &record : records)
        stream.Add(record, results);
    flux::Result lastPeriod;
    if (stream.Flush(lastPeriod))
        results.push_back(lastPeriod);
    return results;
}

// The header and the rows to the file or to standard output ("-").
int WriteRows(const std::string &output, const std::vector<flux::Result> &results) {
    std::FILE *out = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "kestrune-flux: cannot write %s\n", output.c_str());
        return 1;
    }
    std::string text = flux::CsvHeader();
    for (const flux::Result &result : results)
        text += flux::CsvRow(result);
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const bool closed = out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "kestrune-flux: cannot write %s\n", output.c_str());
        return 1;
    }
    return GoOn;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int status = ParseArguments(argc, argv, o);
    if (status == GoOn)
        status = CheckSettings(o.Settings);
    Millis first = 0, last = 0;
    if (status == GoOn)
        status = CheckDaysAndPlaces(o, first, last);
    if (status != GoOn)
        return status;

    long long skipped = 0;
    const std::vector<flux::Record> records = ReadRecords(o.Directory, first, last + DayMs, skipped);
    const std::vector<flux::Result> results = Periods(o.Settings, records);
    status = WriteRows(o.Output, results);
    if (status != GoOn)
        return status;
    std::fprintf(stderr,
                 "kestrune-flux: %zu periods from %zu samples (%lld other lines: headers or unreadable)\n",
                 results.size(), records.size(), skipped);
    return 0;
}
