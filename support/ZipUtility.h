// Batch file housekeeping: delete, copy, move, zip or unzip the files of a folder that match
// a pattern and a time window, in one call with a one-line report.
#pragma once

#include "platform/win32.h"
#include "support/ZipUtil.h"

enum FileAction : BYTE {
    ActionDelete = 0,
    ActionCopy = 1,
    ActionMove = 2,  // copy, then delete the source
    ActionZip = 3,
    ActionUnzip = 4,  // the found file is an archive, extracted into the destination folder
};

// Result codes of ProcessFiles besides the system's own.
constexpr DWORD ZipUtilityTextTooLong = 14;         // a name or a path built from it is too long
constexpr DWORD ZipUtilityCannotMakeFolder = 82;    // the destination folder cannot be created
constexpr DWORD ZipUtilitySearchPathTooLong = 234;  // source folder plus pattern is too long
constexpr DWORD ZipUtilityNoZipObject = 1002;       // the zip library could not be set up
constexpr DWORD ZipUtilityWildcardTarget = 1006;    // the target name holds "*" or "?"
// Every folder, pattern, target name and path built from them holds at most this many
// characters.
constexpr int ZipUtilityTextLimit = 299;

// Carries out action on every file of sourceFolder matching pattern whose last-write time
// (UTC) lies in [start, end]. Folder, pattern and target names may be file-name templates,
// expanded with the current UTC time. destinationFolder and targetName may be null; an empty
// or null targetName gives every target its source file's name. A one-line report goes into
// report (at most reportCapacity characters with the terminator) unless it is null or the
// capacity is 0. Returns 0 when every selected file was processed. Zipping goes on past a
// file that fails (only a missing zip library ends it) and returns the first failure; the other
// actions stop at the first failure.
DWORD ProcessFiles(FileAction action, const char *sourceFolder, const char *pattern,
                   const char *destinationFolder, const char *targetName, OverwriteRule rule, FILETIME start,
                   FILETIME end, char *report, DWORD reportCapacity);

// The second half of compressing: deletes each file of folder matching pattern and the time
// window whose archive beside it (named by the same rule as zipping gives it) holds the
// file's current bytes, verified under the archive's lock just before the delete. Every other
// file is kept, and each kept file is named in the report, appended to what report holds
// already, unless the report names it already. Returns 0 when every selected file was
// deleted, else the reason the first one was kept.
DWORD DeleteZippedFiles(const char *folder, const char *pattern, FILETIME start, FILETIME end, char *report,
                        DWORD reportCapacity);

// Copies source onto target when the rule lets it replace an existing target. Returns 0 (also
// when nothing had to be copied), 1006 when the source cannot be found (rules 2 to 5), or the
// system error of the copy.
DWORD CopyFileByRule(const char *source, const char *target, OverwriteRule rule);
