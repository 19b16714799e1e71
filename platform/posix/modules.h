// Run-time loaded libraries (POSIX layer).
#pragma once

#include "platform/posix/types.h"

// "kernel32" (with or without ".dll", any case) gives the layer's pseudo-module, NULL the
// program's own module; other names fail with ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
// On the kernel32 pseudo-module: the layer's own functions by name
// ("GetLogicalProcessorInformation"); other modules are the run-time loaded libraries.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// Loads "Name.dll" as libName.so: first from the directory of the running executable (as
// Windows searches the application directory first), then through the dynamic loader's
// search path; a name with a folder part is loaded from that folder only. Loading a module
// again returns the same handle and counts a reference. A library that cannot be found fails
// with ERROR_MOD_NOT_FOUND; one that exists but cannot be loaded with ERROR_BAD_EXE_FORMAT.
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
// Drops one reference; the library is unloaded with the last one.
BOOL FreeLibrary(HMODULE hLibModule);

// The layer's own: export lookup (functions and data) in a module loaded by LoadLibraryA,
// reached through GetProcAddress. A missing export fails with ERROR_PROC_NOT_FOUND, a handle
// not handed out by LoadLibraryA with ERROR_INVALID_HANDLE.
FARPROC KestruneModuleProcAddress(HMODULE hModule, LPCSTR lpProcName);
