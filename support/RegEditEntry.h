// One registry value loaded or added by a RegEditor: its name, type, data record and accessor.
#pragma once

#include "platform/win32.h"

class RegEditValue;
class RegEditBuffer;
class RegEditStringList;

class RegEditEntry {
public:
    // A new, empty entry. The data record and accessor follow the type: a RegEditBuffer with
    // RegEditSz, RegEditExpandSz or RegEditBinary for REG_SZ, REG_EXPAND_SZ and REG_BINARY;
    // a 32-bit value with RegEditDword for REG_DWORD; a RegEditStringList with RegEditMultiSz
    // for REG_MULTI_SZ; neither for any other type. The accessor works on *key.
    RegEditEntry(const char *name, DWORD type, HKEY *key);
    // Releases the name, the data record and the accessor.
    ~RegEditEntry();
    RegEditEntry(const RegEditEntry &) = delete;
    RegEditEntry &operator=(const RegEditEntry &) = delete;

    // The data record seen as its type's record; null when the entry's type has another one.
    RegEditBuffer *Buffer() const;
    DWORD *Dword() const;
    RegEditStringList *StringList() const;

    char *Name = nullptr;           // owned copy of the value name
    DWORD NameSize = 0;             // length of the name + 1
    DWORD Type = 0;                 // registry type
    void *Data = nullptr;           // owned data record, by type; null for other types
    RegEditValue *Value = nullptr;  // owned accessor; null for other types
};
