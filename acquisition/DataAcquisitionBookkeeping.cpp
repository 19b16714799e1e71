// The registry bookkeeping of each archive pass: "ArchiveSamples" and "ArchiveDate" under
// RegistryKeyPath, so that a monitor can see that archiving goes on.
#include <memory>

#include "acquisition/DataAcquisition.h"
#include "support/RegEditor.h"

namespace {

// Logged once when the key cannot be opened, and again only after an update has succeeded.
constexpr LONG BookkeepingSuspendedCode = 5026;

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
    // someone else put there is left alone.
    editor->CurrentValue = editor->FindValue("ArchiveSamples");
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
    editor->SetStringValue("ArchiveDate", date);

    CurrentRegEditor = nullptr;
}
