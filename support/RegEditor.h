// Typed access to the values of one registry key below HKEY_LOCAL_MACHINE.
//
// The constructor opens the key (creating it when missing) and loads every value into an
// entry with a data record and an accessor; writes go to the registry at once. An editor
// lives for one update and closes the key when destroyed.
#pragma once

#include "platform/win32.h"
#include "support/EntryList.h"
#include "support/RegEditBuffer.h"
#include "support/RegEditEntry.h"
#include "support/RegEditStringList.h"
#include "support/RegEditValue.h"

// Raised when the key can be neither opened nor created.
class RegEditorException {};

class RegEditor {
public:
    static constexpr DWORD ValueNameSize = 300;
    // SetStringValue on a value of another type than REG_SZ.
    static constexpr LONG WrongType = 1003;

    // Opens or creates keyPath below HKEY_LOCAL_MACHINE and loads its values; throws
    // RegEditorException when the key cannot be opened or created.
    explicit RegEditor(const char *keyPath);
    // Releases every entry and closes the key.
    virtual ~RegEditor();
    RegEditor(const RegEditor &) = delete;
    RegEditor &operator=(const RegEditor &) = delete;

    // Loads the key's values into entries, in enumeration order. Ends at the first value that
    // cannot be probed (the end of the values, or a name of ValueNameSize characters or
    // more); skips a value whose read fails.
    void LoadValues();
    // The first entry whose name equals name byte for byte (case-sensitive), or null; the
    // list's cursor stays on it.
    RegEditEntry *FindValue(const char *name);
    // A new, empty entry of that name and type, appended to the list; the registry is not
    // touched.
    RegEditEntry *AddValue(const char *name, DWORD type);
    // Stores text in the REG_SZ value name (adding the entry when missing) and writes it at
    // once; returns the write's result, kept in LastResult. A value of another type is left
    // alone and WrongType is returned.
    LONG SetStringValue(const char *name, const char *text);

    char ValueName[ValueNameSize] = {};  // enumeration scratch
    BYTE *EnumData = nullptr;            // data of the value being loaded
    char *KeyPath = nullptr;             // owned copy of the key path
    HKEY RootKey = HKEY_LOCAL_MACHINE;
    HKEY Key = nullptr;
    DWORD Disposition = 0;  // REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY; kept, not used
    DWORD EnumIndex = 0;
    DWORD LoadedCount = 0;
    DWORD NameLength = 0;
    DWORD EnumType = 0;
    DWORD EnumDword = 0;
    DWORD EnumDataSize = 0;
    LONG EnumResult = 0;
    LONG LastResult = 0;  // result of the last write made through the editor
    RegEditEntry *CurrentValue = nullptr;
    EntryList Entries;

private:
    void Release();
    void FillRecord(RegEditEntry *entry, const BYTE *data, DWORD size);
};
