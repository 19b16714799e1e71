// Named file mappings over POSIX shared memory (POSIX layer).
#pragma once

#include "platform/posix/types.h"
