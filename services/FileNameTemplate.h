// File names from date templates such as "lab0<YYJJJHH>_raw.txt".
//
// Outside angle brackets characters are copied (control characters dropped). Inside, each run
// of one repeated letter is a date item whose run length is its minimum, zero-padded width:
// Y (last n digits of the year), M (month), D (day), J (day of year), H (hour), m (minute);
// S is accepted and yields nothing; every other character in a field is dropped.
#pragma once

#include "platform/win32.h"

// A template is a text of at most 259 characters in a field of this size, expanded in place.
constexpr int FileNameTemplateSize = MAX_PATH;

// Expands the date fields of the template in place for the given UTC time. text must be a
// field of FileNameTemplateSize characters; only its first FileNameTemplateSize - 1 characters
// are read. A result longer than that (short runs such as <JMJM> yield more characters than
// they occupy) is cut to its first FileNameTemplateSize - 1 characters, so the field always
// holds a terminated text. Returns 0, or 1006 when text is null.
DWORD ExpandFileNameTemplate(char *text, SYSTEMTIME time);
// The same for the current UTC time.
DWORD ExpandFileNameTemplateNow(char *text);
