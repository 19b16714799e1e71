// The registry: keys and values in a SQLite store (POSIX layer).
#pragma once

#include "platform/posix/types.h"
