#include "app/StationStatus.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/DateAndDirectory.h"
#include "services/EventCodes.h"
#include "services/StationFormats.h"
#include "services/Win32Util.h"

namespace {

// Reads a whole file shared with its writers; empty when it cannot be read.
std::string ReadWholeFile(const std::string &path) {
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char block[65536];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof block, &read, nullptr) && read > 0)
        text.append(block, read);
    CloseHandle(file);
    return text;
}

// The period "MM:SS:mmm-MM:SS:mmm" of a statistics entry written at `written`, as ISO times.
// The end is the last moment at or before the entry with the end's minute, second and
// millisecond; the start lies less than an hour before it (a whole hour when the two keys are
// the same). False when the text is not such a period.
bool PeriodTimes(const SYSTEMTIME &written, const char *period, std::string &start, std::string &end) {
    int m1, s1, ms1, m2, s2, ms2, consumed = 0;
    if (sscanf(period, "%2d:%2d:%3d-%2d:%2d:%3d%n", &m1, &s1, &ms1, &m2, &s2, &ms2, &consumed) != 6 ||
        consumed == 0 || m1 > 59 || s1 > 59 || m2 > 59 || s2 > 59 || m1 < 0 || s1 < 0 || ms1 < 0 || m2 < 0 ||
        s2 < 0 || ms2 < 0)
        return false;
    FILETIME at;
    if (!SystemTimeToFileTime(&written, &at))
        return false;
    const LONGLONG ms = 10000, hour = 3600000 * ms;
    const LONGLONG atUnits = static_cast<LONGLONG>(FileTimeToUnits(at));
    const LONGLONG hourStart =
        atUnits - ((written.wMinute * 60 + written.wSecond) * 1000LL + written.wMilliseconds) * ms;
    const LONGLONG startKey = ((m1 * 60 + s1) * 1000LL + ms1) * ms,
                   endKey = ((m2 * 60 + s2) * 1000LL + ms2) * ms;
    LONGLONG endUnits = hourStart + endKey;
    if (endUnits > atUnits)
        endUnits -= hour;
    LONGLONG length = (endKey - startKey + hour) % hour;
    if (length == 0)
        length = hour;
    SYSTEMTIME from, to;
    const FILETIME fromTime = UnitsToFileTime(static_cast<ULONGLONG>(endUnits - length));
    const FILETIME toTime = UnitsToFileTime(static_cast<ULONGLONG>(endUnits));
    if (!FileTimeToSystemTime(&fromTime, &from) || !FileTimeToSystemTime(&toTime, &to))
        return false;
    start = IsoTime(from).Text;
    end = IsoTime(to).Text;
    return true;
}

// The count that opens a message "<name>: <count> ..."; afterName points past "<name>: ".
unsigned long LeadingCount(const char *afterName) {
    return strtoul(afterName, nullptr, 10);
}

std::string JsonText(const std::string &text) {
    std::string json = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += static_cast<char>(c);
        }
    }
    return json + "\"";
}

}  // namespace

bool StationStatus::IsErrorEntry(int code, const char *message) {
    return IsErrorEvent(code, message);
}

StationStatus::Severity StationStatus::SeverityOf(int code, const char *message) {
    switch (EventSeverityOf(code, message)) {
        case EventSeverity::Error:
            return Error;
        case EventSeverity::Warning:
            return Warning;
        default:
            return Information;
    }
}

ClockWatch::StateReader StationStatus::ReadClock = nullptr;

std::string StationStatus::LockName(const char *dataDirectory) {
    std::string name = std::string("Kestrune DataDirectory ") + dataDirectory;
    for (char &c : name)
        if (c == '\\')
            c = '_';
    return name;
}

StationStatus::StationStatus(const Configuration &configuration) {
    DataDirectory = configuration.Text(Configuration::DataDirectory);
    ReadInstance();
    ReadArchiveDate();
    ReadEventLog();
    if (!(ReadClock != nullptr ? ReadClock : KestruneGetClockState)(&Clock))
        Clock = KESTRUNE_CLOCK_STATE();
    if (Clock.Known && Clock.Synchronised)
        ClockSince.clear();  // synchronised again after the last entry
    ClockText = ClockWatch::Describe(Clock, ClockSince.c_str());
    const DWORD directory = GetFileAttributesA(DataDirectory.c_str());
    if (!Running)
        Reason = "no kestrune holds the data directory";
    else if (directory == INVALID_FILE_ATTRIBUTES || !(directory & FILE_ATTRIBUTE_DIRECTORY))
        Reason = "the data directory is missing";
    else if (!HasLog)
        Reason = "today's event log " + LogName + " is missing";
    else if (ProcessId.empty())
        Reason = "the process id file is missing while an instance holds the data directory";
    else if (RawWriteFailing)
        Reason = "the last raw data write failed";
    else if (StatisticsWriteFailing)
        Reason = "the last statistics write failed";
    else if (!HasArchiveDate)
        Reason = "no archive pass recorded";
    else if (ArchiveAgeSeconds > static_cast<LONGLONG>(HealthyArchiveAge) || ArchiveAgeSeconds < -60)
        Reason = "the last archive pass is " + std::to_string(ArchiveAgeSeconds) + " s old";
    Healthy = Reason.empty();
}

// An instance owns the lock for its whole run. Its named object may outlive the process
// that made it, so whether it is held is the test: a wait without time that succeeds (or
// finds the owner dead) means nobody runs, and the lock is given back at once. A kestrune
// starting in that instant would take the data directory for in use and exit with status 2.
void StationStatus::ReadInstance() {
    HANDLE lock = OpenMutexA(SYNCHRONIZE, FALSE, LockName(DataDirectory.c_str()).c_str());
    if (lock != nullptr) {
        const DWORD wait = WaitForSingleObject(lock, 0);
        Running = wait == WAIT_TIMEOUT;
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
            ReleaseMutex(lock);
        CloseHandle(lock);
    }
    const std::string text = ReadWholeFile(DataDirectory + "\\" + ProcessIdFileName);
    char *end = nullptr;
    const unsigned long id = strtoul(text.c_str(), &end, 10);
    if (Running && end != text.c_str())
        ProcessId = std::to_string(id);
}

void StationStatus::ReadArchiveDate() {
    std::string key = std::string(Configuration::ParameterKey) + "\\" + Configuration::InstrumentSubkey;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return;
    char text[64] = {};
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    const LSTATUS status =
        RegQueryValueExA(handle, "ArchiveDate", nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return;
    SYSTEMTIME time = {};
    if (!ParseArchiveDate(text, &time))
        return;
    FILETIME then;
    if (!SystemTimeToFileTime(&time, &then))
        return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const LONGLONG thenUnits = (static_cast<LONGLONG>(then.dwHighDateTime) << 32) | then.dwLowDateTime;
    const LONGLONG nowUnits = (static_cast<LONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    HasArchiveDate = true;
    ArchiveDate = time;
    ArchiveAgeSeconds = (nowUnits - thenUnits) / 10000000;
}

// Today's (UTC) log: "HH:MM:SS:MMM  CODE  MESSAGE" lines after a three-line header.
void StationStatus::ReadEventLog() {
    SYSTEMTIME today;
    GetSystemTime(&today);
    const std::string name = EventLogFileName(today).Text;
    LogName = name;
    const std::string text = ReadWholeFile(DataDirectory + "\\" + name);
    HasLog = GetFileAttributesA((DataDirectory + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        EventLogEntryText entry;
        if (!ParseEventLogLine(line.c_str(), &entry))
            continue;
        SYSTEMTIME time = today;
        time.wHour = entry.Time.wHour;
        time.wMinute = entry.Time.wMinute;
        time.wSecond = entry.Time.wSecond;
        time.wMilliseconds = entry.Time.wMilliseconds;
        AddEntry(time, entry.Code, entry.Message);
    }
}

void StationStatus::AddEntry(const SYSTEMTIME &time, int code, const char *message) {
    const char *separator = strstr(message, ": ");
    const char *afterName = separator ? separator + 2 : message;
    switch (code) {
        case EventCode::LinesLost.Code:
            LostLines += LeadingCount(afterName);
            break;
        case EventCode::LinesCut.Code:
            CutLines += LeadingCount(afterName);
            break;
        case EventCode::RawFileFailed.Code:
            ++WriteErrors;
            RawWriteFailing = true;
            break;
        case EventCode::RawWritesEnded.Code:
            // The episode's end; its second form says the files still could not be written.
            RawWriteFailing = IsErrorEvent(code, message);
            break;
        case EventCode::ReadingPause.Code:
            ++ReadingPauses;
            break;
        case EventCode::StatisticsFileFailed.Code:
            ++WriteErrors;
            StatisticsWriteFailing = true;
            break;
        case EventCode::ArchivePass.Code: {
            int bad = 0, blackout = 0, edited = 0;
            const char *excluded = strstr(message, "Excluded samples: ");
            if (excluded != nullptr &&
                sscanf(excluded, "Excluded samples: Bad = %d  Blackout = %d  Edited = %d", &bad, &blackout,
                       &edited) == 3)
                ExcludedSamples += static_cast<unsigned long>(bad) + static_cast<unsigned long>(blackout) +
                                   static_cast<unsigned long>(edited);
            break;
        }
        case EventCode::StatisticsArchived.Code: {
            HasStatistics = true;
            StatisticsWriteFailing = false;
            StatisticsTime = IsoTime(time).Text;
            const char *period = strstr(message, "for the period ");
            if (!PeriodTimes(time, period ? period + 15 : "", StatisticsStart, StatisticsEnd))
                StatisticsStart = StatisticsEnd = std::string();
            break;
        }
        case ClockWatch::StartUnsynchronisedCode:
        case ClockWatch::LostCode: {
            ClockSince = IsoTime(time, false).Text;
            break;
        }
        case ClockWatch::BackCode:
            ClockSince.clear();
            break;
        default:
            break;
    }
    if (IsErrorEntry(code, message)) {
        HasError = true;
        LastErrorTime = IsoTime(time).Text;
        LastErrorCode = code;
        LastErrorMessage = message;
    }
}

std::string StationStatus::Text() const {
    char line[1200];
    std::string text;
    snprintf(line, sizeof line, "Data directory:   %s\n", DataDirectory.c_str());
    text += line;
    if (Running)
        snprintf(line, sizeof line, "Instance:         running (PID %s)\n",
                 ProcessId.empty() ? "unknown" : ProcessId.c_str());
    else
        snprintf(line, sizeof line, "Instance:         not running\n");
    text += line;
    if (HasArchiveDate)
        snprintf(line, sizeof line, "Last archived:    %s (%lld s ago)\n", IsoTime(ArchiveDate, false).Text,
                 static_cast<long long>(ArchiveAgeSeconds));
    else
        snprintf(line, sizeof line, "Last archived:    never\n");
    text += line;
    if (HasStatistics)
        snprintf(line, sizeof line, "Last statistics:  %s, period %s to %s\n", StatisticsTime.c_str(),
                 StatisticsStart.empty() ? "unknown" : StatisticsStart.c_str(),
                 StatisticsEnd.empty() ? "unknown" : StatisticsEnd.c_str());
    else
        snprintf(line, sizeof line, "Last statistics:  none today\n");
    text += line;
    snprintf(
        line, sizeof line,
        "Today (%s):   %lu lost lines (5301), %lu cut lines (5302), %lu excluded samples, %lu write errors\n",
        LogName.c_str(), LostLines, CutLines, ExcludedSamples, WriteErrors);
    text += line;
    snprintf(line, sizeof line, "Reading pauses:   %lu today (5109)\n", ReadingPauses);
    text += line;
    if (HasError)
        snprintf(line, sizeof line, "Last error:       %s  %d  %.1000s\n", LastErrorTime.c_str(),
                 LastErrorCode, LastErrorMessage.c_str());
    else
        snprintf(line, sizeof line, "Last error:       none today\n");
    text += line;
    snprintf(line, sizeof line, "Clock:            %s\n", ClockText.c_str());
    text += line;
    text += Healthy ? "Healthy:          yes\n" : "Healthy:          no (" + Reason + ")\n";
    return text;
}

std::string StationStatus::Json() const {
    std::string json = "{\"dataDirectory\":" + JsonText(DataDirectory);
    json += std::string(",\"running\":") + (Running ? "true" : "false");
    json += ",\"pid\":" + (ProcessId.empty() ? std::string("null") : ProcessId);
    if (HasArchiveDate) {
        json += ",\"lastArchived\":" + JsonText(IsoTime(ArchiveDate, false).Text) +
                ",\"lastArchivedAgeSeconds\":" + std::to_string(ArchiveAgeSeconds);
    } else {
        json += ",\"lastArchived\":null,\"lastArchivedAgeSeconds\":null";
    }
    if (HasStatistics)
        json += ",\"lastStatistics\":{\"time\":" + JsonText(StatisticsTime) +
                ",\"start\":" + (StatisticsStart.empty() ? std::string("null") : JsonText(StatisticsStart)) +
                ",\"end\":" + (StatisticsEnd.empty() ? std::string("null") : JsonText(StatisticsEnd)) + "}";
    else
        json += ",\"lastStatistics\":null";
    json += ",\"log\":" + JsonText(LogName);
    json += ",\"lostLines\":" + std::to_string(LostLines) + ",\"cutLines\":" + std::to_string(CutLines) +
            ",\"excludedSamples\":" + std::to_string(ExcludedSamples) +
            ",\"writeErrors\":" + std::to_string(WriteErrors) +
            ",\"readingPauses\":" + std::to_string(ReadingPauses);
    if (HasError)
        json += ",\"lastError\":{\"time\":" + JsonText(LastErrorTime) +
                ",\"code\":" + std::to_string(LastErrorCode) + ",\"message\":" + JsonText(LastErrorMessage) +
                "}";
    else
        json += ",\"lastError\":null";
    json += ",\"clock\":{\"state\":";
    json += !Clock.Known ? "\"unknown\"" : Clock.Synchronised ? "\"synchronised\"" : "\"not synchronised\"";
    if (Clock.Known && Clock.Synchronised) {
        char figures[80];
        snprintf(figures, sizeof figures, ",\"estimatedErrorMs\":%.1f,\"maximumErrorMs\":%.0f",
                 Clock.EstimatedErrorUs / 1000.0, Clock.MaximumErrorUs / 1000.0);
        json += figures;
    }
    json += ",\"since\":" + (ClockSince.empty() ? std::string("null") : JsonText(ClockSince));
    json += ",\"text\":" + JsonText(ClockText) + "}";
    json += std::string(",\"healthy\":") + (Healthy ? "true" : "false");
    json += ",\"reason\":" + (Healthy ? std::string("null") : JsonText(Reason));
    return json + "}\n";
}
