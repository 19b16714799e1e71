// The registry bookkeeping of each archive pass: "ArchiveSamples" and "ArchiveDate" under
// RegistryKeyPath, so that a monitor can see that archiving goes on.
#include <memory>

#include "acquisition/DataAcquisition.h"
#include "support/RegEditor.h"

namespace {

// Logged once when the key cannot be opened, and again only after an update has succeeded.
constexpr LONG BookkeepingSuspendedCode = 5026;

char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The entry of the value called name in any letter case, as the registry matches names, or
// null. (The editor's own lookup compares case-sensitively and would miss "archivesamples".)
RegEditEntry *FindValueAnyCase(RegEditor &editor, const char *name) {
    for (RegEditEntry *entry = editor.Entries.First(); entry; entry = editor.Entries.Next()) {
        const char *a = entry->Name;
        const char *b = name;
        while (*a != '\0' && FoldCase(*a) == FoldCase(*b)) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0')
            return entry;
    }
    return nullptr;
}

}  // namespace

void DataAcquisition::UpdateArchiveBookkeeping(SYSTEMTIME time, int samples) {
    if (RegistryKeyPath[0] == '\0')
        return;

    std::unique_ptr<RegEditor> editor;
    try {
        editor.reset(new RegEditor(RegistryKeyPath));
    } catch (const RegEditorException &) {
        // The pass goes on without its bookkeeping; the log gets one entry per episode.
        if (!BookkeepingSuspended) {
            BookkeepingSuspended = true;
            char message[MessageSize];
            snprintf(message, sizeof message,
                     "%s: Error opening the registry key %s. Archive bookkeeping suspended.",
                     Name ? Name : "", RegistryKeyPath);
            EventLogRef.Write(BookkeepingSuspendedCode, message);
        }
        return;
    }
    BookkeepingSuspended = false;
    CurrentRegEditor = editor.get();

    // "ArchiveSamples" is written only while it is a REG_DWORD; a value of another type that
    // someone else put there, under this name in any letter case, is left alone.
    editor->CurrentValue = FindValueAnyCase(*editor, "ArchiveSamples");
    if (!editor->CurrentValue)
        editor->CurrentValue = editor->AddValue("ArchiveSamples", REG_DWORD);
    RegEditEntry *entry = editor->CurrentValue;
    if (entry->Type == REG_DWORD) {
        DWORD count = static_cast<DWORD>(samples);
        *entry->Dword() = count;
        editor->LastResult = entry->Value->SetDword("ArchiveSamples", count);
    }

    char date[64];
    snprintf(date, sizeof date, "%02d/%02d/%02d %02d:%02d:%02d UTC", time.wMonth, time.wDay, time.wYear,
             time.wHour, time.wMinute, time.wSecond);
    const RegEditEntry *dateEntry = FindValueAnyCase(*editor, "ArchiveDate");
    if (dateEntry == nullptr || dateEntry->Type == REG_SZ)
        editor->SetStringValue(dateEntry ? dateEntry->Name : "ArchiveDate", date);

    CurrentRegEditor = nullptr;
}
