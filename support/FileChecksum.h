// CRC-32 (the checksum of ZIP archives: reflected polynomial 0xEDB88320) of memory and of
// files, and the 64-bit size and last-write time of a file.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Continues a CRC-32 over size more bytes; start with 0.
DWORD Crc32Update(DWORD crc, const void *data, size_t size);

// What a file holds now: its size, the CRC-32 of its bytes and its last-write time (UTC).
struct FileChecksum {
    ULONGLONG Size = 0;
    DWORD Crc = 0;
    FILETIME LastWrite = {};
};

// Reads the whole file at path. Returns 0, or the system error of opening or reading it.
// ERROR_INVALID_DATA when the file changed (size or last-write time) while it was read.
DWORD ComputeFileChecksum(const char *path, FileChecksum *result);

// Whether two files hold the same bytes: equal 64-bit sizes and CRC-32s. Returns 0 with
// *same set, or the system error of reading either file.
DWORD FilesHoldSameBytes(const char *first, const char *second, bool *same);

// The 64-bit size of a found file.
inline ULONGLONG FoundFileSize(const WIN32_FIND_DATAA &found) {
    return (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
}
