// The daily disk event log: every component's coded, time-stamped diagnostics.
//
// Each UTC day has a file "YYJJJ.log" in the log's directory. Writers in this process and in
// any other process that logs under the same name are serialised by the named mutex
// "<LogName>_EventLogDiskWrite", held from the choice of the file to its closing, so lines
// never tear. Each entry is one write; a write that fails part-way (a full disk) is cut back,
// so the file holds whole lines only.
//
// An entry that cannot be written (the file cannot be opened or written, or the mutex cannot
// be had) goes to stderr instead, and is counted. The next entry that reaches the file is
// preceded by one entry with code DroppedEntriesCode that says how many went to stderr.
#pragma once

#include <atomic>
#include <string>

#include "platform/win32.h"
#include "services/EventCodes.h"

// Raised when the log's directory does not exist and cannot be created.
class EventLogException {};

class EventLog {
public:
    // One entry; a Time of 0 means "the time of writing".
    struct Entry {
        FILETIME Time;
        LONG Code;
        const char *Message;  // not owned; an empty or null message is never written
    };

    // Creates the directory with its missing parents when it does not exist (EventLogException
    // when it still does not exist afterwards), opens or creates the log's mutex and writes
    // "Starting event log." with code 9998.
    EventLog(const char *logName, const char *logDirectory);
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;
    ~EventLog();

    // Writes the entry stamped with the current system time (read while the log's mutex is
    // held, so entries of all threads reach the files in time order). Product code names the
    // code's entry of the table (EventCode::PortLost).
    void Write(const EventCodeDefinition &code, const char *message) { Write(code.Code, message); }
    // The same by number. A code the table does not hold is written all the same, so that no
    // event is lost, and counted in UnknownCodeEntries, which the tests expect to stay 0.
    void Write(LONG code, const char *message);
    // Writes one entry under DiskWriteMutex into the file of the entry's UTC day.
    void WriteEntry(Entry entry);

    // The log's own entry: "%lu event-log entries could not be written to the log and went to
    // stderr."
    static constexpr LONG DroppedEntriesCode = EventCode::DroppedEntries.Code;

    // Entries written with a code the table does not hold.
    std::atomic<unsigned long> UnknownCodeEntries{0};

    // Where each entry is also reported as it is written, on the writing thread, before the
    // file is opened (the system's journal under a service manager); null: nowhere. Set before
    // any other thread writes. It must not wait for anything.
    void (*Report)(LONG code, const char *message) = nullptr;

    // Held while an entry is written; callers that stamp entries themselves (the archive
    // engine) read the time while they hold it. The mutex is recursive for its owner.
    HANDLE DiskWriteMutex = nullptr;
    char LogName[MAX_PATH] = {};
    char LogDirectory[MAX_PATH] = {};

private:
    // Scratch of WriteEntry, used only while DiskWriteMutex is held. The path has room for the
    // longest directory, a backslash and the file name, so it is never cut.
    char FilePath[2 * MAX_PATH] = {};
    char FileName[MAX_PATH] = {};
    WORD Day = 0;
    HANDLE SearchHandle = nullptr;
    Entry FirstEntry = {};
    SYSTEMTIME EntryTime = {};
    WIN32_FIND_DATAA FileInformation = {};
    FILETIME CreatedTime = {};
    HANDLE File = nullptr;  // the day's file while an entry is written
    // Entries that went to stderr and are not yet counted in the file.
    std::atomic<unsigned long> DroppedEntries{0};

    // Prints the entry to stderr, with where it should have gone and why, and counts it.
    void Divert(const Entry &entry, const SYSTEMTIME &time, const char *where, DWORD error);
    // The steps of WriteEntry under DiskWriteMutex: the entry's calendar time and its day's
    // path; whether the open file is empty; the one write's text (header when the file is
    // empty, the log's own entries, the entry), false when it cannot be formatted.
    void NameTheDaysFile(Entry &entry);
    bool OpenFileIsEmpty();
    bool FormatWrite(const Entry &entry, bool empty, bool remade, unsigned long dropped, std::string &text);
};
