// The daily disk event log.
#include "services/EventLog.h"

#include "services/DateAndDirectory.h"

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
    // a "." alone, and a path without a backslash is not created) is a failure too.
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
    FirstEntry.Code = 9998;
    FirstEntry.Message = "Starting event log.";
    WriteEntry(FirstEntry);
}

EventLog::~EventLog() {
    if (DiskWriteMutex != nullptr)
        CloseHandle(DiskWriteMutex);
}

void EventLog::Write(LONG code, const char *message) {
    Entry entry;
    entry.Time.dwLowDateTime = 0;
    entry.Time.dwHighDateTime = 0;  // stamped by WriteEntry with the time of writing
    entry.Code = code;
    entry.Message = message;
    WriteEntry(entry);
}

void EventLog::WriteEntry(Entry entry) {
    // WAIT_ABANDONED: a writer died holding the mutex; the mutex is ours now, and every line
    // before it was closed whole, so go on as usual.
    const DWORD wait = WaitForSingleObject(DiskWriteMutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return;

    if (entry.Message == nullptr || entry.Message[0] == '\0') {
        ReleaseMutex(DiskWriteMutex);
        return;
    }

    if (entry.Time.dwLowDateTime == 0 && entry.Time.dwHighDateTime == 0)
        GetSystemTimeAsFileTime(&entry.Time);
    // A time that has no calendar form is stamped with the time of writing rather than lost.
    if (!FileTimeToSystemTime(&entry.Time, &EntryTime))
        GetSystemTime(&EntryTime);
    Day = DayOfYear(EntryTime);

    std::snprintf(FileName, sizeof FileName, "%02d%03d.log", EntryTime.wYear % 100, Day);
    if (LogDirectory[0] != '\0')
        std::snprintf(FilePath, sizeof FilePath, "%s\\%s", LogDirectory, FileName);
    else
        std::snprintf(FilePath, sizeof FilePath, "%s", FileName);

    // Binary mode with explicit CR LF: the same bytes on every platform.
    Stream = _fsopen(FilePath, "ab", _SH_DENYNO);
    if (Stream == nullptr) {
        ReleaseMutex(DiskWriteMutex);
        return;
    }

    // A new or empty file starts with the day's header.
    SearchHandle = FindFirstFileA(FilePath, &FileInformation);
    const bool empty = SearchHandle == INVALID_HANDLE_VALUE ||
                       (FileInformation.nFileSizeLow == 0 && FileInformation.nFileSizeHigh == 0);
    if (SearchHandle != INVALID_HANDLE_VALUE)
        FindClose(SearchHandle);
    SearchHandle = nullptr;
    if (empty)
        std::fprintf(Stream, "%02d/%02d/%02d %s\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n", EntryTime.wMonth,
                     EntryTime.wDay, EntryTime.wYear % 100, LogName);

    std::fprintf(Stream, "%02d:%02d:%02d:%03d  %4d  %s\r\n", EntryTime.wHour, EntryTime.wMinute,
                 EntryTime.wSecond, EntryTime.wMilliseconds, static_cast<int>(entry.Code), entry.Message);
    std::fclose(Stream);
    Stream = nullptr;
    ReleaseMutex(DiskWriteMutex);
}
