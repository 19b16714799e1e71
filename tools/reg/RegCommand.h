// The reg tool's command, callable in-process: reads and writes registry values in the
// manner of Windows' reg.exe (see RegCommand.cpp for the syntax).
#pragma once

#include <cstdio>

#include "platform/win32.h"

// Runs one command; argv[0] is the program name. Output goes to out, error messages to err,
// answers to confirmation prompts are read from in. Returns the exit status: 0 on success, 1
// on failure or when the user declines a confirmation.
int RunRegCommand(int argc, char **argv, FILE *out, FILE *err, FILE *in);
