// Serial ports: COM devices over termios (POSIX layer).
#pragma once

#include "platform/posix/types.h"
