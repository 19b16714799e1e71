#include "tools/monitor/Station.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "platform/win32.h"
#include "services/ClockWatch.h"
#include "services/EventCodes.h"
#include "services/StationFormats.h"

namespace monitor {

using namespace station;

Millis Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

EventSeverity SeverityOf(const LogEntry &entry) {
    return EventSeverityOf(entry.Code, entry.Message.c_str());
}

bool IsErrorEntry(const LogEntry &entry) {
    return SeverityOf(entry) == EventSeverity::Error;
}

namespace {

// The first unsigned number after the acquisition's name ("Metek1: 12 ...").
long CountAfterName(const std::string &message) {
    size_t colon = message.find(": ");
    if (colon == std::string::npos)
        return 0;
    return std::strtol(message.c_str() + colon + 2, nullptr, 10);
}

// Bad + blackout + edited of a 5017 message.
long ExcludedOf(const std::string &message) {
    size_t at = message.find("Excluded samples: ");
    if (at == std::string::npos)
        return 0;
    int bad = 0, blackout = 0, edited = 0;
    if (std::sscanf(message.c_str() + at, "Excluded samples: Bad = %d  Blackout = %d  Edited = %d", &bad,
                    &blackout, &edited) != 3)
        return 0;
    return bad + blackout + edited;
}

double ValueOf(const std::string &text) {
    return IsMissingRaw(text) ? std::nan("") : std::strtod(text.c_str(), nullptr);
}

// Reads the archive bookkeeping values; false when the store or the key is absent. The store
// is looked for first, so a missing one is never created by opening it.
bool ReadRegistry(long &samples, std::string &date) {
    std::string store = RegistryStorePath();
    struct stat info;
    if (!store.empty() && stat(store.c_str(), &info) != 0)
        return false;
    HKEY key = nullptr;
    const char path[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key, "ArchiveSamples", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD)
        samples = static_cast<long>(value);
    char text[260] = {0};
    size = sizeof text - 1;
    if (RegQueryValueExA(key, "ArchiveDate", nullptr, &type, reinterpret_cast<BYTE *>(text), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        date.assign(text, strnlen(text, sizeof text));
    RegCloseKey(key);
    return true;
}

// The "ArchiveDate" text as a time; 0 when it does not parse.
Millis ArchiveDateMillis(const std::string &text) {
    SYSTEMTIME t;
    if (!ParseArchiveDate(text.c_str(), &t))
        return 0;
    return MillisFromCivil(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

}  // namespace

void Station::UpdateDigest(Millis day) {
    std::string path = directory_ + "/" + LogFileName(day);
    if (path != digest_.Path) {
        digest_ = LogDigest();
        digest_.Path = path;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return;
    if (std::fseek(file, static_cast<long>(digest_.Offset), SEEK_SET) != 0) {
        std::fclose(file);
        return;
    }
    // Only complete lines are taken; the offset stops before a line still being written.
    std::string pending;
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0) {
        size_t start = 0;
        for (size_t i = 0; i < n; ++i) {
            if (block[i] != '\n')
                continue;
            pending.append(block + start, i - start);
            start = i + 1;
            digest_.Offset += pending.size() + 1;
            if (!pending.empty() && pending.back() == '\r')
                pending.pop_back();
            LogEntry entry;
            if (ParseLogLine(pending, day, entry)) {
                if (IsErrorEntry(entry))
                    ++digest_.Errors;
                switch (entry.Code) {
                    case EventCode::ArchivePass.Code:
                        digest_.LastArchivePass = entry.Time;
                        digest_.LastArchiveMessage = entry.Message;
                        digest_.Excluded += ExcludedOf(entry.Message);
                        break;
                    case EventCode::LinesLost.Code:
                        digest_.Losses += CountAfterName(entry.Message);
                        break;
                    case EventCode::LinesCut.Code:
                        digest_.CutLines += CountAfterName(entry.Message);
                        break;
                    case EventCode::ReadingPause.Code:
                        ++digest_.ReadingPauses;
                        break;
                    case EventCode::EngineStopping.Code:
                        digest_.LastStop = entry.Time;
                        break;
                    case ClockWatch::StartUnsynchronisedCode:
                    case ClockWatch::LostCode:
                        digest_.ClockLost = entry.Time;
                        break;
                    case ClockWatch::BackCode:
                        digest_.ClockLost = 0;
                        break;
                    case EventCode::LogStarting.Code:
                    case EventCode::ArchiveEngineStarting.Code:
                        digest_.LastStart = entry.Time;
                        break;
                    default:
                        break;
                }
            }
            pending.clear();
        }
        pending.append(block + start, n - start);
        if (pending.size() > (1u << 20)) {
            // No line of the log is this long: skip the garbage.
            digest_.Offset += pending.size();
            pending.clear();
        }
    }
    std::fclose(file);
}

Health Station::GetHealth(Millis now) {
    Health health;
    health.Now = now;
    const Millis today = DayOf(now);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        UpdateDigest(today);
        health.Losses = digest_.Losses;
        health.CutLines = digest_.CutLines;
        health.ReadingPauses = digest_.ReadingPauses;
        health.Excluded = digest_.Excluded;
        health.Errors = digest_.Errors;
        // The last pass is the newest 5017 entry the log holds, stopped or not, so it is the
        // one the log view shows; a stop after it only ends "running". A pass logged just
        // before midnight is looked for in yesterday's log.
        health.LastArchivePass = digest_.LastArchivePass;
        health.LastArchiveMessage = digest_.LastArchiveMessage;
        health.LastStop = digest_.LastStop;
        // The clock is asked itself; since when it is unsynchronised comes from the log.
        KESTRUNE_CLOCK_STATE clock = {};
        KestruneGetClockState(&clock);
        std::string since;
        if (digest_.ClockLost != 0)
            since = IsoSecond(digest_.ClockLost);
        health.Clock = ClockWatch::Describe(clock, since.c_str());
        // A pass logged just before midnight still counts for being alive.
        if (health.LastArchivePass == 0) {
            LogDigest saved = digest_;
            UpdateDigest(today - DayMs);
            health.LastArchivePass = digest_.LastArchivePass;
            health.LastArchiveMessage = digest_.LastArchiveMessage;
            health.LastStop = std::max(health.LastStop, digest_.LastStop);
            digest_ = saved;
        }
    }
    health.HaveRegistry = readRegistry_ && ReadRegistry(health.ArchiveSamples, health.ArchiveDate);

    long skipped = 0;
    std::vector<TraceSample> trace = GetTrace(&skipped);
    health.SkippedLines = skipped;
    if (!trace.empty()) {
        health.HaveSample = true;
        health.LastSample = trace.back().Time;
        health.SampleAgeSeconds = static_cast<double>(now - health.LastSample) / 1000.0;
        // Samples per second over the last minute of samples.
        const Millis from = health.LastSample - 60000;
        size_t first = trace.size() - 1;
        while (first > 0 && trace[first - 1].Time >= from)
            --first;
        const Millis span = health.LastSample - trace[first].Time;
        if (span > 0)
            health.LinesPerSecond =
                static_cast<double>(trace.size() - 1 - first) * 1000.0 / static_cast<double>(span);
    }

    Millis lastActivity = health.LastArchivePass;
    if (health.HaveRegistry) {
        // Shown as the page shows every time (ISO 8601 UTC); a text that does not parse as
        // it is.
        const Millis archived = ArchiveDateMillis(health.ArchiveDate);
        lastActivity = std::max(lastActivity, archived);
        if (archived != 0)
            health.ArchiveDate = IsoSecond(archived);
    }
    health.Running =
        lastActivity != 0 && now - lastActivity <= RunningWindowMs && health.LastStop <= lastActivity;
    if (health.Running)
        health.State = "running";
    else if (!health.HaveSample && lastActivity == 0)
        health.State = "no data";
    else
        health.State = "stopped";
    return health;
}

DayView Station::GetDay(Millis day, Millis now) {
    DayView view;
    view.Day = day;
    view.Now = now;
    FluxSettings flux = haveFlux_ ? flux_ : ReadFluxSettings();
    view.Flux.PeriodSeconds = flux.PeriodSeconds;
    view.Flux.FileName = FluxFileName(day, flux.FileTemplate);
    view.Flux.Rows = FluxRows(directory_, flux.FileTemplate, day, day + DayMs, &view.Flux.SkippedLines);
    for (const auto &file : ListFiles(directory_, FileKind::Stats, day, day + DayMs)) {
        int lineNumber = 0;
        ForEachLine(file.Path, [&](const std::string &line) {
            ++lineNumber;
            StatsPeriod period;
            if (ParseStatsLine(line, file.Start, period))
                view.Periods.push_back(std::move(period));
            else if (lineNumber > 3)
                ++view.SkippedLines;
            return view.Periods.size() < 100000;
        });
    }
    for (const auto &window : BlackoutWindows(directory_, day, day + DayMs)) {
        if (window.End < day || window.Start >= day + DayMs)
            continue;
        char text[96];
        std::snprintf(text, sizeof text, "blackout, %ld samples excluded", window.Samples);
        view.Marks.push_back({window.Start, window.End, "blackout", text});
    }
    for (const auto &file : ListFiles(directory_, FileKind::Log, day, day + DayMs)) {
        ForEachLine(file.Path, [&](const std::string &line) {
            LogEntry entry;
            if (ParseLogLine(line, file.Start, entry) &&
                (entry.Code == EventCode::LinesLost.Code || entry.Code == EventCode::RawFileFailed.Code ||
                 entry.Code == EventCode::FileBufferMissing.Code))
                view.Marks.push_back({entry.Time, entry.Time, "loss", entry.Message});
            return view.Marks.size() < 10000;
        });
    }
    return view;
}

std::vector<TraceSample> Station::GetTrace(long *skipped) {
    // The tails of the two newest raw files, so the trace also spans an hour change.
    std::vector<DataFile> files = ListFiles(directory_, FileKind::Raw, 0, MillisFromCivil(2100, 1, 1));
    if (files.size() > 2)
        files.erase(files.begin(), files.end() - 2);
    std::deque<TraceSample> samples;
    for (const auto &file : files) {
        long long size = FileSize(file.Path);
        std::uint64_t offset =
            size > static_cast<long long>(TraceBytes) ? static_cast<std::uint64_t>(size) - TraceBytes : 0;
        bool first = true;
        ForEachLine(
            file.Path,
            [&](const std::string &line) {
                RawSample raw;
                if (ParseRawLine(line, file.Start, raw)) {
                    TraceSample sample{raw.Time, {}};
                    for (int i = 0; i < 4; ++i)
                        sample.Values[i] = ValueOf(raw.Values[i]);
                    samples.push_back(sample);
                } else if (!(first && offset == 0) && skipped) {
                    ++*skipped;  // a malformed line (the header of a file read whole is not one)
                }
                first = false;
                return true;
            },
            offset);
    }
    if (samples.empty())
        return {};
    const Millis from = samples.back().Time - TraceSpanMs;
    while (!samples.empty() && samples.front().Time < from)
        samples.pop_front();
    return std::vector<TraceSample>(samples.begin(), samples.end());
}

std::vector<LogLine> Station::GetLogTail(Millis now) {
    std::deque<LogLine> lines;
    // Today's log, or the newest log there is.
    std::vector<DataFile> logs = ListFiles(directory_, FileKind::Log, 0, DayOf(now) + 400 * DayMs);
    if (logs.empty())
        return {};
    const DataFile &file = logs.back();
    long long size = FileSize(file.Path);
    std::uint64_t offset =
        size > static_cast<long long>(LogTailBytes) ? static_cast<std::uint64_t>(size) - LogTailBytes : 0;
    ForEachLine(
        file.Path,
        [&](const std::string &line) {
            LogLine entry;
            if (ParseLogLine(line, file.Start, entry.Entry)) {
                entry.Severity = SeverityOf(entry.Entry);
                entry.Error = entry.Severity == EventSeverity::Error;
                if (entry.Entry.Code == EventCode::ArchivePass.Code && !lines.empty() &&
                    lines.back().Entry.Code == EventCode::ArchivePass.Code) {
                    LogLine &run = lines.back();
                    if (run.Folded == 0) {
                        run.Folded = 1;
                        run.FoldedFrom = run.Entry.Time;
                    }
                    ++run.Folded;
                    run.Entry = std::move(entry.Entry);
                    return true;
                }
                lines.push_back(std::move(entry));
                if (lines.size() > TailEntries)
                    lines.pop_front();
            }
            return true;
        },
        offset);
    return std::vector<LogLine>(lines.begin(), lines.end());
}

}  // namespace monitor
