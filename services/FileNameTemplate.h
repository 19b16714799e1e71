// File names from date templates such as "lab0<YYJJJHH>_raw.txt".
#pragma once

#include "platform/win32.h"

// A template is a text of at most 259 characters in a field of this size, expanded in place.
constexpr int FileNameTemplateSize = MAX_PATH;

// Expands the date fields of the template in place for the given UTC time.
// Returns 0, or 1006 when text is null.
DWORD ExpandFileNameTemplate(char *text, SYSTEMTIME time);
// The same for the current UTC time.
DWORD ExpandFileNameTemplateNow(char *text);
