// Run-time loaded libraries (POSIX layer).
#pragma once

#include "platform/posix/types.h"
