// Notifications to the service manager (POSIX layer): systemd's notification socket.
//
// Not Win32: on Windows the service control manager is told through the service-control
// API, so win32.h gives these functions as doing nothing there.
#pragma once

#include "platform/posix/types.h"

// Sends one or more "NAME=value" lines ("READY=1", "WATCHDOG=1", "STATUS=...", "STOPPING=1")
// to the service manager. Returns 0 when sent or when no service manager listens
// (NOTIFY_SOCKET unset), else a Win32 error code.
DWORD KestruneNotifyServiceManager(const char *state);
// The watchdog interval the service manager expects this process to keep, in milliseconds,
// or 0 when there is no watchdog.
DWORD KestruneServiceWatchdogMilliseconds();
