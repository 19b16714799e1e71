#include "services/EventLog.h"
// PENDING: placeholder until its owner lands the real implementation.
EventLog::EventLog(const char *, const char *) {}
EventLog::~EventLog() {}
void EventLog::Write(LONG, const char *) {}
void EventLog::WriteEntry(Entry) {}
