// The registry bookkeeping of each archive pass: "ArchiveSamples" and "ArchiveDate" under
// RegistryKeyPath, so that a monitor can see that archiving goes on.
//
// The bookkeeping is optional and must never cost samples: it runs after the pass's raw data
// are written, and each registry call waits at most BookkeepingWaitLimitMs for a store that
// another program holds locked. A key that cannot be opened, or a write that fails, ends the
// update; the log gets one 5026 entry per episode, again only after an update has succeeded.
#include <memory>

#include "acquisition/DataAcquisition.h"
#include "services/StationFormats.h"
#include "support/RegEditor.h"

namespace {

// The longest a registry call of the bookkeeping waits for a locked store.
constexpr DWORD BookkeepingWaitLimitMs = 200;

// Bounds the calling thread's registry waits while it lives, then restores its own limit.
class RegistryWaitLimit {
public:
    explicit RegistryWaitLimit(DWORD milliseconds) : previous_(KestruneSetRegistryWaitLimit(milliseconds)) {}
    ~RegistryWaitLimit() { KestruneSetRegistryWaitLimit(previous_); }
    RegistryWaitLimit(const RegistryWaitLimit &) = delete;
    RegistryWaitLimit &operator=(const RegistryWaitLimit &) = delete;

private:
    DWORD previous_;
};

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

void DataAcquisition::SuspendBookkeeping(const char *message) {
    if (BookkeepingSuspended)
        return;
    BookkeepingSuspended = true;
    EventLogRef.Write(EventCode::BookkeepingSuspended, message);
}

void DataAcquisition::UpdateArchiveBookkeeping(SYSTEMTIME time, int samples) {
    if (RegistryKeyPath[0] == '\0')
        return;

    const RegistryWaitLimit limit(BookkeepingWaitLimitMs);
    char message[MessageSize];
    std::unique_ptr<RegEditor> editor;
    try {
        editor.reset(new RegEditor(RegistryKeyPath));
    } catch (const RegEditorException &) {
        // Missing rights, a broken store, or a store locked beyond the limit: the pass goes on
        // without its bookkeeping.
        snprintf(message, sizeof message, EventCode::BookkeepingSuspended.Formats[0], Name ? Name : "",
                 RegistryKeyPath);
        SuspendBookkeeping(message);
        return;
    }
    CurrentRegEditor = editor.get();

    // "ArchiveSamples" is written only while it is a REG_DWORD; a value of another type that
    // someone else put there, under this name in any letter case, is left alone.
    LONG result = ERROR_SUCCESS;
    const char *failed = nullptr;
    editor->CurrentValue = FindValueAnyCase(*editor, "ArchiveSamples");
    if (!editor->CurrentValue)
        editor->CurrentValue = editor->AddValue("ArchiveSamples", REG_DWORD);
    RegEditEntry *entry = editor->CurrentValue;
    if (entry->Type == REG_DWORD) {
        DWORD count = static_cast<DWORD>(samples);
        *entry->Dword() = count;
        editor->LastResult = entry->Value->SetDword("ArchiveSamples", count);
        if (editor->LastResult != ERROR_SUCCESS) {
            result = editor->LastResult;
            failed = "ArchiveSamples";
        }
    }

    // After a failed write the store is locked or broken; the date would only wait again.
    if (!failed) {
        const StampText date = ArchiveDateText(time);
        const RegEditEntry *dateEntry = FindValueAnyCase(*editor, "ArchiveDate");
        if (dateEntry == nullptr || dateEntry->Type == REG_SZ) {
            const LONG dateResult =
                editor->SetStringValue(dateEntry ? dateEntry->Name : "ArchiveDate", date.Text);
            if (dateResult != ERROR_SUCCESS && dateResult != RegEditor::WrongType) {
                result = dateResult;
                failed = "ArchiveDate";
            }
        }
    }

    CurrentRegEditor = nullptr;
    if (failed) {
        snprintf(message, sizeof message, EventCode::BookkeepingSuspended.Formats[1], Name ? Name : "",
                 failed, RegistryKeyPath, static_cast<long>(result));
        SuspendBookkeeping(message);
        return;
    }
    BookkeepingSuspended = false;
}
