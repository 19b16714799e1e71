// The daily disk event log: every component's coded, time-stamped diagnostics.
#pragma once

#include "platform/win32.h"

// Raised when the log's directory does not exist and cannot be created.
class EventLogException {};

class EventLog {
public:
    // One entry; a Time of 0 means "the time of writing".
    struct Entry {
        FILETIME Time;
        LONG Code;
        const char *Message;
    };

    EventLog(const char *logName, const char *logDirectory);
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;
    ~EventLog();

    // Stamps the entry with the current system time and writes it.
    void Write(LONG code, const char *message);
    // Writes one entry under DiskWriteMutex into the file of the entry's UTC day.
    void WriteEntry(Entry entry);

    // Held while an entry is written; callers that stamp entries themselves (the archive
    // engine) read the time while they hold it.
    HANDLE DiskWriteMutex = nullptr;
    char LogName[MAX_PATH] = {};
    char LogDirectory[MAX_PATH] = {};
};
