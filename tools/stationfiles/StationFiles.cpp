#include "tools/stationfiles/StationFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "flux/Flux.h"
#include "platform/win32.h"
#include "services/EventCodes.h"
#include "services/FileNameTemplate.h"
#include "services/StationFormats.h"

namespace station {

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
long long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(long long z, int &y, int &m, int &d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

bool AllDigits(const std::string &text, size_t from, size_t count) {
    if (from + count > text.size())
        return false;
    for (size_t i = from; i < from + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

int Number(const std::string &text, size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

// Start of day `dayOfYear` (1-based) of 2000 + yy.
Millis DayOfYearStart(int yy, int dayOfYear) {
    return MillisFromCivil(2000 + yy, 1, 1) + static_cast<Millis>(dayOfYear - 1) * DayMs;
}

bool IsLeap(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// A number as the data files write it: optional minus, digits, optional point and digits.
bool IsDecimal(const std::string &text) {
    size_t i = 0;
    if (i < text.size() && text[i] == '-')
        ++i;
    size_t digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i, ++digits;
    }
    return digits > 0 && i == text.size();
}

std::vector<std::string> SplitSpaces(const std::string &text) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ')
            ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ')
            ++i;
        if (i > start)
            parts.push_back(text.substr(start, i - start));
    }
    return parts;
}

// "MM:SS:mmm" at pos.
bool ParseMinuteKey(const std::string &text, size_t pos, Millis &ms) {
    if (!AllDigits(text, pos, 2) || text[pos + 2] != ':' || !AllDigits(text, pos + 3, 2) ||
        text[pos + 5] != ':' || !AllDigits(text, pos + 6, 3))
        return false;
    int minute = Number(text, pos, 2), second = Number(text, pos + 3, 2), milli = Number(text, pos + 6, 3);
    if (minute > 59 || second > 59)
        return false;
    ms = minute * 60000LL + second * 1000LL + milli;
    return true;
}

}  // namespace

Millis MillisFromCivil(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    return DaysFromCivil(year, month, day) * DayMs + hour * HourMs + minute * 60000LL + second * 1000LL +
           millisecond;
}

Civil CivilFromMillis(Millis t) {
    long long days = t / DayMs;
    Millis rest = t % DayMs;
    if (rest < 0) {
        rest += DayMs;
        --days;
    }
    Civil c{};
    CivilFromDays(days, c.Year, c.Month, c.Day);
    c.Hour = static_cast<int>(rest / HourMs);
    c.Minute = static_cast<int>(rest / 60000 % 60);
    c.Second = static_cast<int>(rest / 1000 % 60);
    c.Millisecond = static_cast<int>(rest % 1000);
    return c;
}

std::string IsoTime(Millis t) {
    Civil c = CivilFromMillis(t);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", c.Year, c.Month, c.Day, c.Hour,
             c.Minute, c.Second, c.Millisecond);
    return text;
}

std::string IsoSecond(Millis t) {
    Civil c = CivilFromMillis(t);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", c.Year, c.Month, c.Day, c.Hour, c.Minute,
             c.Second);
    return text;
}

std::string DayText(Millis t) {
    Civil c = CivilFromMillis(t);
    char text[16];
    snprintf(text, sizeof text, "%04d-%02d-%02d", c.Year, c.Month, c.Day);
    return text;
}

bool ParseDay(const std::string &text, Millis &dayStart) {
    if (text.size() != 10 || !AllDigits(text, 0, 4) || text[4] != '-' || !AllDigits(text, 5, 2) ||
        text[7] != '-' || !AllDigits(text, 8, 2))
        return false;
    int y = Number(text, 0, 4), m = Number(text, 5, 2), d = Number(text, 8, 2);
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > days[m - 1] + (m == 2 && IsLeap(y) ? 1 : 0))
        return false;
    dayStart = MillisFromCivil(y, m, d);
    return true;
}

Millis DayOf(Millis t) {
    Millis rest = t % DayMs;
    if (rest < 0)
        rest += DayMs;
    return t - rest;
}

std::string DefaultDataDirectory() {
    char path[4096];
    return KestruneMapPath(DefaultDataDirectoryPath, path, sizeof path) ? std::string(path) : std::string();
}

std::string RegistryStorePath() {
    char path[4096];
    const DWORD length = KestruneRegistryStorePath(path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

bool ParseFileName(const std::string &name, FileKind &kind, Millis &start) {
    // The event log of a day: YYJJJ.log.
    if (name.size() == 9 && name.compare(5, 4, ".log") == 0 && AllDigits(name, 0, 5)) {
        int yy = Number(name, 0, 2), doy = Number(name, 2, 3);
        if (doy < 1 || doy > (IsLeap(2000 + yy) ? 366 : 365))
            return false;
        kind = FileKind::Log;
        start = DayOfYearStart(yy, doy);
        return true;
    }
    // The flux rows of a day: lab0YYJJJ_flux.csv.
    if (name.size() == 18 && name.compare(0, 4, "lab0") == 0 && AllDigits(name, 4, 5) &&
        name.compare(9, 9, "_flux.csv") == 0) {
        int yy = Number(name, 4, 2), doy = Number(name, 6, 3);
        if (doy < 1 || doy > (IsLeap(2000 + yy) ? 366 : 365))
            return false;
        kind = FileKind::Flux;
        start = DayOfYearStart(yy, doy);
        return true;
    }
    // The hourly files: lab0YYJJJHH_raw.txt, lab0YYJJJHH_stats.txt.
    if (name.size() < 11 || name.compare(0, 4, "lab0") != 0 || !AllDigits(name, 4, 7))
        return false;
    std::string tail = name.substr(11);
    if (tail == "_raw.txt")
        kind = FileKind::Raw;
    else if (tail == "_stats.txt")
        kind = FileKind::Stats;
    else
        return false;
    int yy = Number(name, 4, 2), doy = Number(name, 6, 3), hour = Number(name, 9, 2);
    if (doy < 1 || doy > (IsLeap(2000 + yy) ? 366 : 365) || hour > 23)
        return false;
    start = DayOfYearStart(yy, doy) + hour * HourMs;
    return true;
}

namespace {
std::string HourName(Millis t, const char *tail) {
    Civil c = CivilFromMillis(t);
    int doy = static_cast<int>((DayOf(t) - MillisFromCivil(c.Year, 1, 1)) / DayMs) + 1;
    char name[64];
    snprintf(name, sizeof name, "lab0%02d%03d%02d%s", c.Year % 100, doy, c.Hour, tail);
    return name;
}
}  // namespace

std::string RawFileName(Millis t) {
    return HourName(t, "_raw.txt");
}
std::string StatsFileName(Millis t) {
    return HourName(t, "_stats.txt");
}
std::string LogFileName(Millis t) {
    Civil c = CivilFromMillis(t);
    int doy = static_cast<int>((DayOf(t) - MillisFromCivil(c.Year, 1, 1)) / DayMs) + 1;
    char name[32];
    snprintf(name, sizeof name, "%02d%03d.log", c.Year % 100, doy);
    return name;
}

std::vector<DataFile> ListFiles(const std::string &directory, FileKind kind, Millis from, Millis to) {
    std::vector<DataFile> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        FileKind found;
        Millis start;
        std::string name = it->path().filename().string();
        if (ParseFileName(name, found, start) && found == kind && start >= from && start < to)
            files.push_back({it->path().string(), kind, start});
    }
    std::sort(files.begin(), files.end(),
              [](const DataFile &a, const DataFile &b) { return a.Start < b.Start; });
    return files;
}

std::vector<Millis> ListDays(const std::string &directory) {
    std::vector<Millis> days;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        FileKind kind;
        Millis start;
        if (ParseFileName(it->path().filename().string(), kind, start))
            days.push_back(DayOf(start));
    }
    std::sort(days.begin(), days.end());
    days.erase(std::unique(days.begin(), days.end()), days.end());
    return days;
}

bool ForEachLine(const std::string &path, const std::function<bool(const std::string &)> &fn,
                 std::uint64_t offset) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    bool skipFirst = false;
    if (offset > 0 && std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0)
        skipFirst = true;
    std::string line;
    char block[65536];
    size_t n;
    bool go = true;
    while (go && (n = std::fread(block, 1, sizeof block, file)) > 0) {
        size_t start = 0;
        for (size_t i = 0; i < n && go; ++i) {
            if (block[i] != '\n')
                continue;
            line.append(block + start, i - start);
            start = i + 1;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (skipFirst)
                skipFirst = false;
            else
                go = fn(line);
            line.clear();
        }
        if (go)
            line.append(block + start, n - start);
        // A line longer than any the program writes is garbage; keep memory bounded.
        if (line.size() > 1 << 20)
            line.clear(), skipFirst = true;
    }
    std::fclose(file);
    return true;
}

long long FileSize(const std::string &path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

bool ParseRawLine(const std::string &line, Millis hourStart, RawSample &sample) {
    // Key "MMSSMMM " then the nine texts; the status field is what lies between the key and
    // the last eight texts.
    if (line.size() < 8 || !AllDigits(line, 0, 7) || line[7] != ' ')
        return false;
    int minute = Number(line, 0, 2), second = Number(line, 2, 2), milli = Number(line, 4, 3);
    if (minute > 59 || second > 59)
        return false;
    size_t end = line.size();
    for (int i = 7; i >= 0; --i) {
        size_t space = line.rfind(' ', end - 1);
        if (space == std::string::npos || space < 7 || end == 0)
            return false;
        std::string value = line.substr(space + 1, end - space - 1);
        if (!IsMissingRaw(value) && !IsDecimal(value))
            return false;
        sample.Values[i] = value;
        end = space;
    }
    // end is the space before u: the status field runs from 8 to end (may be empty).
    if (end < 7)
        return false;
    sample.Status = end > 8 ? line.substr(8, end - 8) : std::string();
    for (char c : sample.Status)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return false;
    sample.Time = hourStart + minute * 60000LL + second * 1000LL + milli;
    return true;
}

bool IsMissingRaw(const std::string &text) {
    return text == "-99.";
}
bool IsMissingStats(const std::string &text) {
    return text == "-99.99";
}

bool ParseStatsLine(const std::string &line, Millis hourStart, StatsPeriod &period) {
    Millis start, end;
    if (line.size() < 20 || !ParseMinuteKey(line, 0, start) || line[9] != '-' ||
        !ParseMinuteKey(line, 10, end) || line[19] != ' ')
        return false;
    std::vector<std::string> fields = SplitSpaces(line.substr(20));
    if (fields.size() != static_cast<size_t>(StatsFigures))
        return false;
    for (const auto &field : fields)
        if (!IsDecimal(field))
            return false;
    period.Start = hourStart + start;
    period.End = hourStart + end + (end < start ? HourMs : 0);
    period.Fields = std::move(fields);
    return true;
}

std::vector<std::string> StatsColumnNames(const std::string &groupLine, const std::string &columnLine) {
    // Groups of the column line are separated by "|"; the first holds the two times and
    // NumSamp. Groups 4 to 10 repeat their names for u, v, w, T, uw, vw, wT.
    if (groupLine.find("u-component") == std::string::npos ||
        groupLine.find("wt (m/s)(C)") == std::string::npos)
        return {};
    std::vector<std::vector<std::string>> groups;
    size_t start = 0;
    for (;;) {
        size_t bar = columnLine.find('|', start);
        groups.push_back(SplitSpaces(columnLine.substr(start, bar == std::string::npos ? bar : bar - start)));
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    if (groups.size() != 10 || groups[0].size() != 3 || groups[0][0] != "MM:SS:mmm")
        return {};
    static const char *quantities[7] = {"u", "v", "w", "T", "uw", "vw", "wT"};
    std::vector<std::string> names = {groups[0][2]};
    for (size_t g = 1; g < groups.size(); ++g)
        for (const auto &name : groups[g])
            names.push_back(g >= 3 ? std::string(quantities[g - 3]) + "_" + name : name);
    if (names.size() != static_cast<size_t>(StatsFigures))
        return {};
    return names;
}

const std::vector<std::string> &StatsFigureNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list = {"blackout_samples",        "heating_off_samples",
                                         "heating_on_good_samples", "heating_on_bad_samples",
                                         "path_blocked_samples",    "path_block_digit_mean",
                                         "path_block_pct_mean"};
        const char *quantities[4][2] = {{"u", "_m_s"}, {"v", "_m_s"}, {"w", "_m_s"}, {"T", "_C"}};
        for (const auto &q : quantities)
            for (const std::string figure :
                 {"good_samples", "bad_samples", "mean", "sd", "skewness", "kurtosis_excess"})
                list.push_back(std::string(q[0]) + "_" + figure +
                               (figure == "mean" || figure == "sd" ? q[1] : ""));
        const char *pairs[3][2] = {{"uw", "_m2_s2"}, {"vw", "_m2_s2"}, {"wT", "_m_s_C"}};
        for (const auto &p : pairs)
            for (const std::string figure : {"good_samples", "bad_samples", "cov"})
                list.push_back(std::string(p[0]) + "_" + figure + (figure == "cov" ? p[1] : ""));
        return list;
    }();
    return names;
}

bool ParseLogLine(const std::string &line, Millis dayStart, LogEntry &entry) {
    EventLogEntryText parsed;
    if (line.find('\0') != std::string::npos || !ParseEventLogLine(line.c_str(), &parsed))
        return false;
    entry.Code = parsed.Code;
    entry.Time = dayStart + parsed.Time.wHour * HourMs + parsed.Time.wMinute * 60000LL +
                 parsed.Time.wSecond * 1000LL + parsed.Time.wMilliseconds;
    entry.Message = parsed.Message;
    return true;
}

bool ParseBlackoutMessage(const std::string &message, Window &window) {
    const char *text = std::strstr(message.c_str(), ": Excluding ");
    if (!text)
        return false;
    int n = 0, consumed = 0;
    if (std::sscanf(text, ": Excluding %d samples from the archive during the blackout period %n", &n,
                    &consumed) != 1 ||
        consumed == 0)
        return false;
    SYSTEMTIME from, to;
    const char *rest = nullptr;
    if (!ParseShortDateClock(text + consumed, &from, &rest) || std::strncmp(rest, " to ", 4) != 0 ||
        !ParseShortDateClock(rest + 4, &to, &rest))
        return false;
    auto millis = [](const SYSTEMTIME &t) {
        return MillisFromCivil(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    };
    window.Samples = n;
    window.Start = millis(from);
    window.End = millis(to);
    return window.End >= window.Start;
}

std::vector<Window> BlackoutWindows(const std::string &directory, Millis from, Millis to) {
    std::vector<Window> windows;
    for (const auto &file : ListFiles(directory, FileKind::Log, from - DayMs, to)) {
        ForEachLine(file.Path, [&](const std::string &line) {
            LogEntry entry;
            Window window;
            if (ParseLogLine(line, file.Start, entry) &&
                (entry.Code == EventCode::BlackoutExcluded.Code ||
                 entry.Code == EventCode::ClockStepExcluded.Code) &&
                ParseBlackoutMessage(entry.Message, window))
                windows.push_back(window);
            return true;
        });
    }
    std::sort(windows.begin(), windows.end(),
              [](const Window &a, const Window &b) { return a.Start < b.Start; });
    return windows;
}

const std::vector<std::string> &FluxColumns() {
    // The names of the header row the program writes, so that the two cannot differ.
    static const std::vector<std::string> columns = [] {
        std::string header = flux::CsvHeader();
        while (!header.empty() && (header.back() == '\n' || header.back() == '\r'))
            header.pop_back();
        return SplitCsv(header);
    }();
    return columns;
}

bool ParseIsoSecond(const std::string &text, Millis &t) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':' || text[19] != 'Z' ||
        !AllDigits(text, 11, 2) || !AllDigits(text, 14, 2) || !AllDigits(text, 17, 2))
        return false;
    Millis day;
    if (!ParseDay(text.substr(0, 10), day))
        return false;
    int hour = Number(text, 11, 2), minute = Number(text, 14, 2), second = Number(text, 17, 2);
    if (hour > 23 || minute > 59 || second > 59)
        return false;
    t = day + hour * HourMs + minute * 60000LL + second * 1000LL;
    return true;
}

std::vector<std::string> SplitCsv(const std::string &line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"')
                fields.back() += '"', ++i;
            else if (c == '"')
                quoted = false;
            else
                fields.back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::vector<int> FluxHeaderMap(const std::string &headerLine) {
    const std::vector<std::string> &columns = FluxColumns();
    std::vector<int> map(columns.size(), -1);
    std::vector<std::string> names = SplitCsv(headerLine);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i];
        // Spaces around a name (a header written by hand or by a spreadsheet) do not count.
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
        auto it = std::find(columns.begin(), columns.end(), name);
        if (it == columns.end())
            continue;
        size_t at = static_cast<size_t>(it - columns.begin());
        if (map[at] >= 0)
            return {};
        map[at] = static_cast<int>(i);
    }
    if (map[FluxStart] < 0 || map[FluxEnd] < 0)
        return {};
    return map;
}

namespace {

bool IsCountColumn(size_t index) {
    return (index >= FluxSamples && index <= 7) || index == FluxFlagTau || index == FluxFlagH;
}

// A figure as a flux row writes it: a finite decimal number, perhaps with an exponent.
bool IsFigure(const std::string &text) {
    if (text.empty() || text.size() > 40 || text.find_first_not_of("0123456789+-.eE") != std::string::npos)
        return false;
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && errno != ERANGE && value == value;
}

}  // namespace

bool ParseFluxRow(const std::string &line, const std::vector<int> &map, FluxRow &row) {
    const std::vector<std::string> &columns = FluxColumns();
    if (map.size() != columns.size())
        return false;
    std::vector<std::string> fields = SplitCsv(line);
    FluxRow parsed;
    parsed.Fields.assign(columns.size(), std::string());
    for (size_t i = 0; i < columns.size(); ++i) {
        if (map[i] < 0 || static_cast<size_t>(map[i]) >= fields.size())
            continue;
        const std::string &text = fields[static_cast<size_t>(map[i])];
        if (i == FluxStart || i == FluxEnd || text.empty()) {
            parsed.Fields[i] = text;
            continue;
        }
        if (IsCountColumn(i) ? !AllDigits(text, 0, text.size()) || text.size() > 12 : !IsFigure(text))
            return false;
        parsed.Fields[i] = text;
    }
    if (!ParseIsoSecond(parsed.Fields[FluxStart], parsed.Start) ||
        !ParseIsoSecond(parsed.Fields[FluxEnd], parsed.End) || parsed.End <= parsed.Start)
        return false;
    row = std::move(parsed);
    return true;
}

bool ReadFluxFile(const std::string &path, FluxFile &file) {
    std::vector<int> map;
    return ForEachLine(path, [&](const std::string &line) {
        if (!file.HaveHeader) {
            map = FluxHeaderMap(line);
            file.HaveHeader = !map.empty();
            if (!file.HaveHeader)
                return false;  // not a flux file: nothing of it can be read by name
            return true;
        }
        FluxRow row;
        if (ParseFluxRow(line, map, row))
            file.Rows.push_back(std::move(row));
        else
            ++file.Skipped;
        // One day holds at most 1440 periods of 60 s; more lines are not a flux file of ours.
        return file.Rows.size() + static_cast<size_t>(file.Skipped) < 100000;
    });
}

namespace {

// A template the tools may expand into a name inside the directory: printable, no separator,
// and naming something for a sample day.
bool IsUsableFluxTemplate(const std::string &text) {
    if (text.empty() || text.size() >= static_cast<size_t>(FileNameTemplateSize) ||
        text.find_first_of("/\\:") != std::string::npos)
        return false;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return false;
    std::string name = FluxFileName(MillisFromCivil(2026, 12, 9), text);
    return !name.empty() && name != "." && name != "..";
}

}  // namespace

FluxSettings ReadFluxSettings() {
    FluxSettings settings;
    // The store is looked for first, so a missing one is never created by opening it.
    std::string store = RegistryStorePath();
    std::error_code error;
    if (!store.empty() && !std::filesystem::exists(store, error))
        return settings;
    HKEY key = nullptr;
    const char path[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return settings;
    char text[FileNameTemplateSize + 1] = {0};
    DWORD type = 0, size = sizeof text - 1;
    if (RegQueryValueExA(key, "FluxFileTemplate", nullptr, &type, reinterpret_cast<BYTE *>(text), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        std::string value(text, strnlen(text, sizeof text));
        if (IsUsableFluxTemplate(value))
            settings.FileTemplate = value;
    }
    BYTE data[64] = {0};
    size = sizeof data - 1;
    if (RegQueryValueExA(key, "FluxPeriod", nullptr, &type, data, &size) == ERROR_SUCCESS) {
        long period = -1;
        if (type == REG_DWORD && size == sizeof(DWORD)) {
            DWORD value;
            std::memcpy(&value, data, sizeof value);
            period = value <= 86400 ? static_cast<long>(value) : -1;
        } else if (type == REG_SZ) {
            std::string value(reinterpret_cast<const char *>(data),
                              strnlen(reinterpret_cast<char *>(data), size));
            if (!value.empty() && value.size() <= 5 && AllDigits(value, 0, value.size()))
                period = std::atol(value.c_str());
        }
        if (period == 0 || (period >= 60 && period <= 86400 && 86400 % period == 0))
            settings.PeriodSeconds = period;
    }
    RegCloseKey(key);
    return settings;
}

std::string FluxFileName(Millis t, const std::string &fileTemplate) {
    Civil c = CivilFromMillis(t);
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(c.Year);
    time.wMonth = static_cast<WORD>(c.Month);
    time.wDay = static_cast<WORD>(c.Day);
    time.wHour = static_cast<WORD>(c.Hour);
    time.wMinute = static_cast<WORD>(c.Minute);
    time.wSecond = static_cast<WORD>(c.Second);
    char name[FileNameTemplateSize] = {0};
    std::snprintf(name, sizeof name, "%s", fileTemplate.c_str());
    ExpandFileNameTemplate(name, time);
    return name;
}

std::vector<FluxRow> FluxRows(const std::string &directory, const std::string &fileTemplate, Millis from,
                              Millis to, long *skipped) {
    std::vector<FluxRow> rows;
    for (Millis day = DayOf(from); day < to; day += DayMs) {
        FluxFile file;
        std::string path = directory + "/" + FluxFileName(day, fileTemplate);
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error))
            continue;
        if (!ReadFluxFile(path, file))
            continue;
        if (skipped)
            *skipped += file.Skipped;
        for (auto &row : file.Rows)
            rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const FluxRow &a, const FluxRow &b) { return a.Start < b.Start; });
    return rows;
}

}  // namespace station
