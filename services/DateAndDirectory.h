// Day-of-year and directory-path helpers shared by the log, the templates and the zip utility.
#pragma once

#include "platform/win32.h"
#include "services/EventCodes.h"

// Day of the year, 1 for 1 January; every year divisible by 4 is a leap year.
WORD DayOfYear(SYSTEMTIME time);
// Creates the missing directories of a path whose levels are separated by backslashes or
// slashes. Returns 0, or the system error code of the first creation that failed.
DWORD CreateDirectoryPath(const char *path);
// Opens a data file or log for appending (OPEN_ALWAYS, shared for reading and writing). When
// the open finds its directory gone (ERROR_PATH_NOT_FOUND) and that directory is `own` (the
// writer's configured directory, which existed when it started; compared without regard to
// ASCII case), the directory path is made again and the open tried once more; *remade then
// tells that it was, so that the writer can say so. Any other missing directory stays a
// failure. The last error is that of the last open, as CreateFileA leaves it.
HANDLE OpenForAppend(const char *path, const char *own, bool *remade);
// Code of the entry a writer makes when it had to make its directory again.
constexpr LONG DirectoryRemadeCode = EventCode::DirectoryRemade.Code;
