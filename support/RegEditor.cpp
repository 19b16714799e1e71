#include "support/RegEditor.h"

#include <memory>

RegEditor::RegEditor(const char *keyPath) {
    if (!keyPath)
        throw RegEditorException();
    size_t length = strlen(keyPath);
    KeyPath = new char[length + 1];
    memcpy(KeyPath, keyPath, length + 1);

    char noClass[1] = "";
    LONG result = RegCreateKeyExA(RootKey, KeyPath, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &Key, &Disposition);
    if (result != ERROR_SUCCESS) {
        delete[] KeyPath;
        KeyPath = nullptr;
        Key = nullptr;
        throw RegEditorException();
    }
    try {
        LoadValues();
    } catch (...) {
        // Out of memory while loading: the destructor will not run, so release here.
        Release();
        throw;
    }
}

RegEditor::~RegEditor() {
    Release();
}

void RegEditor::Release() {
    while (EntryList::Node *node = Entries.Head) {
        delete node->Entry;
        Entries.Remove(node);
    }
    CurrentValue = nullptr;
    delete[] EnumData;
    delete[] KeyPath;
    KeyPath = nullptr;
    EnumData = nullptr;
    if (Key)
        RegCloseKey(Key);
    Key = nullptr;
}

void RegEditor::LoadValues() {
    memset(ValueName, 0, sizeof ValueName);
    EnumIndex = 0;
    LoadedCount = 0;
    EnumDataSize = 0;
    for (;;) {
        // Probe: the value's type and size only.
        NameLength = ValueNameSize;
        if (RegEnumValueA(Key, EnumIndex, ValueName, &NameLength, nullptr, &EnumType, nullptr,
                          &EnumDataSize) != ERROR_SUCCESS)
            break;

        // Read: REG_DWORD straight into EnumDword, anything else into a buffer of the size
        // the probe reported.
        BYTE *target;
        if (EnumType == REG_DWORD) {
            EnumDword = 0;
            target = reinterpret_cast<BYTE *>(&EnumDword);
            EnumDataSize = sizeof EnumDword;
        } else {
            EnumData = new BYTE[EnumDataSize ? EnumDataSize : 1];
            target = EnumData;
        }
        NameLength = ValueNameSize;
        EnumResult =
            RegEnumValueA(Key, EnumIndex, ValueName, &NameLength, nullptr, &EnumType, target, &EnumDataSize);
        ++EnumIndex;

        if (EnumResult == ERROR_SUCCESS) {
            RegEditEntry *entry = AddValue(ValueName, EnumType);
            CurrentValue = entry;
            FillRecord(entry, target, EnumDataSize);
            ++LoadedCount;
        }
        delete[] EnumData;
        EnumData = nullptr;
    }
}

void RegEditor::FillRecord(RegEditEntry *entry, const BYTE *data, DWORD size) {
    switch (entry->Type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            entry->Buffer()->AssignText(data, size);
            break;
        case REG_BINARY:
            entry->Buffer()->Assign(data, size);
            break;
        case REG_DWORD:
            *entry->Dword() = EnumDword;
            break;
        case REG_MULTI_SZ:
            entry->StringList()->Parse(data, size);
            break;
        default:
            break;  // name and type only
    }
}

RegEditEntry *RegEditor::FindValue(const char *name) {
    if (!name)
        return nullptr;
    for (RegEditEntry *entry = Entries.First(); entry; entry = Entries.Next()) {
        if (strcmp(entry->Name, name) == 0)
            return entry;
    }
    return nullptr;
}

RegEditEntry *RegEditor::AddValue(const char *name, DWORD type) {
    std::unique_ptr<RegEditEntry> entry(new RegEditEntry(name, type, &Key));
    Entries.Append(entry.get());
    return entry.release();
}

LONG RegEditor::SetStringValue(const char *name, const char *text) {
    if (!name || !text)
        return ERROR_INVALID_PARAMETER;
    RegEditEntry *entry = FindValue(name);
    if (!entry)
        entry = AddValue(name, REG_SZ);
    if (entry->Type != REG_SZ)
        return WrongType;
    DWORD size = static_cast<DWORD>(strlen(text) + 1);
    entry->Buffer()->AssignText(text, size);
    LONG result = entry->Value->SetValue(name, reinterpret_cast<const BYTE *>(text), &size);
    LastResult = result;
    return result;
}
