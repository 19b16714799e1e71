// The data record of a REG_SZ, REG_EXPAND_SZ or REG_BINARY registry value.
#pragma once

#include "platform/win32.h"

class RegEditBuffer {
public:
    RegEditBuffer() = default;
    ~RegEditBuffer();
    RegEditBuffer(const RegEditBuffer &) = delete;
    RegEditBuffer &operator=(const RegEditBuffer &) = delete;

    // Replaces the bytes with a copy of size bytes of data.
    void Assign(const void *data, DWORD size);
    // Replaces the bytes with the text of data up to its first NUL or to its end, whichever
    // comes first, as a NUL-terminated text; Size becomes the text's length + 1.
    void AssignText(const void *data, DWORD size);
    // Releases the bytes; the record is empty again.
    void Clear();

    BYTE *Bytes = nullptr;  // owned; a NUL-terminated text for the string types
    DWORD Size = 0;         // text length + 1 for the string types, byte count for REG_BINARY
};
