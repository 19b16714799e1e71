// Notifications to the service manager (POSIX layer): systemd's notification socket.
//
// Not Win32: on Windows the service control manager is told through the service-control
// API, so win32.h gives these functions as doing nothing there.
#pragma once

#include "platform/posix/types.h"

// Event types of ReportEventA, as KestruneReportEvent takes them.
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

// Sends one or more "NAME=value" lines ("READY=1", "WATCHDOG=1", "STATUS=...", "STOPPING=1")
// to the service manager. Returns 0 when sent or when no service manager listens
// (NOTIFY_SOCKET unset), else a Win32 error code.
DWORD KestruneNotifyServiceManager(const char *state);
// The watchdog interval the service manager expects this process to keep, in milliseconds,
// or 0 when there is no watchdog.
DWORD KestruneServiceWatchdogMilliseconds();

// Reports an event-log entry to the system's log as well: under systemd (JOURNAL_STREAM names
// the stream stderr is connected to) one line "<p>code message" on stderr, with the sd-daemon
// priority <3> for EVENTLOG_ERROR_TYPE, <4> for EVENTLOG_WARNING_TYPE and <6> otherwise; line
// breaks in the message become blanks. The call never waits for the journal: a line the stream
// cannot take at once is dropped (the part of it taken is ended with a line break); the
// event-log file stays the record. Output that is not the journal's stream gets nothing.
// Returns 0 when sent or when there is no journal, else a Win32 error code.
DWORD KestruneReportEvent(WORD type, DWORD code, const char *message);
