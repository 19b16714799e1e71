// The daily disk event log.
#include "services/EventLog.h"

#include <string>

#include "services/DateAndDirectory.h"
#include "services/StationFormats.h"
#include "services/WholeAppend.h"

namespace {

// Bounded copy of a possibly null text into a field.
void CopyText(char *field, size_t size, const char *text) {
    std::snprintf(field, size, "%s", text ? text : "");
}

}  // namespace

EventLog::EventLog(const char *logName, const char *logDirectory) {
    const char *directory = logDirectory ? logDirectory : "";

    // A missing directory is created with its parents. The log must be able to write, so a
    // directory that still does not exist afterwards (CreateDirectoryPath leaves names holding
    // a "." alone, and a path without a separator is not created) is a failure too.
    if (directory[0] != '\0' && GetFileAttributesA(directory) == INVALID_FILE_ATTRIBUTES) {
        if (CreateDirectoryPath(directory) != 0)
            throw EventLogException();
        const DWORD attributes = GetFileAttributesA(directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            throw EventLogException();
    }

    CopyText(LogName, sizeof LogName, logName);
    CopyText(LogDirectory, sizeof LogDirectory, directory);

    // One mutex per log name, shared by every process that writes this log. It is opened with
    // the right to release it as well as to wait on it.
    char mutexName[MAX_PATH + 32];
    std::snprintf(mutexName, sizeof mutexName, "%s_EventLogDiskWrite", LogName);
    DiskWriteMutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName);
    if (DiskWriteMutex == nullptr)
        DiskWriteMutex = CreateMutexA(nullptr, FALSE, mutexName);
    // Should the named mutex be unavailable, a private one still keeps this process's threads
    // from tearing each other's lines, rather than losing every entry.
    if (DiskWriteMutex == nullptr)
        DiskWriteMutex = CreateMutexA(nullptr, FALSE, nullptr);

    GetSystemTimeAsFileTime(&CreatedTime);
    FirstEntry.Time = CreatedTime;
    FirstEntry.Code = EventCode::LogStarting.Code;
    FirstEntry.Message = EventCode::LogStarting.Formats[0];
    WriteEntry(FirstEntry);
}

EventLog::~EventLog() {
    if (DiskWriteMutex != nullptr)
        CloseHandle(DiskWriteMutex);
}

void EventLog::Write(LONG code, const char *message) {
    if (FindEventCode(code) == nullptr)
        ++UnknownCodeEntries;
    Entry entry;
    entry.Time.dwLowDateTime = 0;
    entry.Time.dwHighDateTime = 0;  // stamped by WriteEntry with the time of writing
    entry.Code = code;
    entry.Message = message;
    WriteEntry(entry);
}

void EventLog::Divert(const Entry &entry, const SYSTEMTIME &time, const char *where, DWORD error) {
    ++DroppedEntries;
    std::fprintf(stderr, "Event log %s not writable (error %lu): %02d:%02d:%02d:%03d  %4d  %s\n", where,
                 static_cast<unsigned long>(error), time.wHour, time.wMinute, time.wSecond,
                 time.wMilliseconds, static_cast<int>(entry.Code), entry.Message);
    std::fflush(stderr);
}

void EventLog::WriteEntry(Entry entry) {
    if (entry.Message == nullptr || entry.Message[0] == '\0')
        return;  // empty messages are never written
    if (Report != nullptr)
        Report(entry.Code, entry.Message);

    // WAIT_ABANDONED: a writer died holding the mutex; the mutex is ours now, and every line
    // before it was closed whole, so go on as usual.
    const DWORD wait = WaitForSingleObject(DiskWriteMutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        // Without the mutex the scratch members are not ours: this diversion uses none.
        const DWORD error = GetLastError();
        SYSTEMTIME time;
        if ((entry.Time.dwLowDateTime == 0 && entry.Time.dwHighDateTime == 0) ||
            !FileTimeToSystemTime(&entry.Time, &time))
            GetSystemTime(&time);
        Divert(entry, time, LogName, error);
        return;
    }

    NameTheDaysFile(entry);

    // Appended, shared for reading and writing by others; CR LF written explicitly, so the
    // bytes are the same on every platform.
    bool remade = false;
    File = OpenForAppend(FilePath, LogDirectory, &remade);
    if (File == INVALID_HANDLE_VALUE) {
        File = nullptr;
        Divert(entry, EntryTime, FilePath, GetLastError());
        ReleaseMutex(DiskWriteMutex);
        return;
    }

    // Header, the count of entries that went to stderr meanwhile, and the entry: one write.
    const bool empty = OpenFileIsEmpty();
    const unsigned long dropped = DroppedEntries.load();
    std::string text;
    const bool formatted = FormatWrite(entry, empty, remade, dropped, text);
    // The log keeps an empty file that this write made (no path to remove).
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (formatted)
        error = AppendWhole(File, nullptr, false, text.data(), text.size());
    else
        CloseHandle(File);
    File = nullptr;
    if (error != 0)
        Divert(entry, EntryTime, FilePath, error);
    else
        DroppedEntries -= dropped;
    ReleaseMutex(DiskWriteMutex);
}

void EventLog::NameTheDaysFile(Entry &entry) {
    if (entry.Time.dwLowDateTime == 0 && entry.Time.dwHighDateTime == 0)
        GetSystemTimeAsFileTime(&entry.Time);
    // A time that has no calendar form is stamped with the time of writing rather than lost.
    if (!FileTimeToSystemTime(&entry.Time, &EntryTime))
        GetSystemTime(&EntryTime);
    Day = DayOfYear(EntryTime);

    std::snprintf(FileName, sizeof FileName, "%s", EventLogFileName(EntryTime).Text);
    if (LogDirectory[0] != '\0')
        std::snprintf(FilePath, sizeof FilePath, "%s\\%s", LogDirectory, FileName);
    else
        std::snprintf(FilePath, sizeof FilePath, "%s", FileName);
}

bool EventLog::OpenFileIsEmpty() {
    SearchHandle = FindFirstFileA(FilePath, &FileInformation);
    const bool empty = SearchHandle == INVALID_HANDLE_VALUE ||
                       (FileInformation.nFileSizeLow == 0 && FileInformation.nFileSizeHigh == 0);
    if (SearchHandle != INVALID_HANDLE_VALUE)
        FindClose(SearchHandle);
    SearchHandle = nullptr;
    return empty;
}

// A new or empty file starts with the day's header.
bool EventLog::FormatWrite(const Entry &entry, bool empty, bool remade, unsigned long dropped,
                           std::string &text) {
    bool formatted = true;
    if (empty)
        formatted = AppendEventLogHeader(text, EntryTime, LogName);
    // The log's own entries; the longest is the directory's, which fits with its words.
    char own[2 * MAX_PATH];
    if (dropped != 0 && formatted) {
        std::snprintf(own, sizeof own, EventCode::DroppedEntries.Formats[0], dropped);
        formatted = AppendEventLogLine(text, EntryTime, EventCode::DroppedEntries.Code, own);
    }
    if (remade && formatted) {
        std::snprintf(own, sizeof own, EventCode::DirectoryRemade.Formats[1], LogDirectory);
        formatted = AppendEventLogLine(text, EntryTime, EventCode::DirectoryRemade.Code, own);
    }
    if (formatted)
        formatted = AppendEventLogLine(text, EntryTime, entry.Code, entry.Message);
    return formatted;
}
