#include "services/FileNameTemplate.h"
// PENDING: placeholder until its owner lands the real implementation.
DWORD ExpandFileNameTemplate(char *, SYSTEMTIME) { return 1006; }
DWORD ExpandFileNameTemplateNow(char *) { return 1006; }
