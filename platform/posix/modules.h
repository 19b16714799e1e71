// Run-time loaded libraries (POSIX layer).
#pragma once

#include "platform/posix/types.h"

// "kernel32" (with or without ".dll", any case) gives the layer's pseudo-module, NULL the
// program's own module; other names fail with ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
// On the kernel32 pseudo-module: the layer's own functions by name
// ("GetLogicalProcessorInformation"); other modules are the run-time loaded libraries.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
