#include "services/DateAndDirectory.h"
// PENDING: placeholder until its owner lands the real implementation.
WORD DayOfYear(SYSTEMTIME) { return 0; }
DWORD CreateDirectoryPath(const char *) { return 1; }
