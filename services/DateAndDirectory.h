// Day-of-year and directory-path helpers shared by the log, the templates and the zip utility.
#pragma once

#include "platform/win32.h"

// Day of the year, 1 for 1 January; every year divisible by 4 is a leap year.
WORD DayOfYear(SYSTEMTIME time);
// Creates the missing directories of a backslash-separated path. Returns 0, or the system
// error code of the first creation that failed.
DWORD CreateDirectoryPath(const char *path);
