// Console control events (POSIX layer).
#pragma once

#include "platform/posix/types.h"

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u

typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD CtrlType);

// Adds or removes a handler of console control events. Handlers run on a thread of their own,
// the one added last first, until one returns TRUE. A null routine with Add TRUE makes the
// process ignore CTRL_C_EVENT (FALSE: heed it again).
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
