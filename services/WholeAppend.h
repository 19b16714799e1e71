// Appending whole lines to the station's files (event log, raw, late, statistics and flux
// files): a write that cannot be completed leaves the file as it was, so a reader never meets
// a torn line and the next write starts on a line of its own.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Appends header + text at the end of the open file, header only when the file is empty, all
// of the bytes or none of them: a write that fails part-way (a full disk) cuts the file back
// to its size before the write. Closes the file in every case. When the write failed, the
// file was empty and `created` says that its opening made it, removes `path` as well (a
// null path keeps the empty file). Returns 0 or the error.
DWORD AppendWhole(HANDLE file, const char *path, bool created, const char *text, size_t size,
                  const char *header = nullptr, size_t headerSize = 0);
