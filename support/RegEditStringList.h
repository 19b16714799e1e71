// The data record of a REG_MULTI_SZ registry value: its non-empty strings.
#pragma once

#include "platform/win32.h"

class RegEditStringList {
public:
    RegEditStringList() = default;
    ~RegEditStringList();
    RegEditStringList(const RegEditStringList &) = delete;
    RegEditStringList &operator=(const RegEditStringList &) = delete;

    // Replaces the strings with the non-empty NUL-separated pieces of the size bytes at data.
    // Empty pieces are skipped, they do not end the list; a last piece without a terminating
    // NUL ends at the last byte. Nothing beyond data + size is read.
    void Parse(const BYTE *data, DWORD size);
    // Releases every string and the item array.
    void Clear();

    char **Items = nullptr;  // Count strings, each in a buffer of MaximumSize bytes
    DWORD Count = 0;
    DWORD MaximumSize = 0;  // length of the longest string + 1
};
