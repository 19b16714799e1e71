#include "support/ZipUtility.h"

#include <cctype>
#include <cstdarg>

#include "services/DateAndDirectory.h"
#include "services/FileNameTemplate.h"
#include "services/StationFormats.h"
#include "services/Win32Util.h"
#include "support/FileChecksum.h"

namespace {

// Working texts hold ZipUtilityTextLimit characters; the spare room takes the one extra
// character an unclosed template field may yield, which is then refused as too long.
constexpr size_t WorkSize = ZipUtilityTextLimit + 3;

const char *const kReportVerbs[] = {"Deleting ", "Copying ", "Moving ", "Zipping ", "Unzipping "};
const char *const kFailureVerbs[] = {". Error deleting ", ". Error copying ", ". Error moving ",
                                     ". Error zipping ", ". Error unzipping "};

const char kDiskFullAbort[] = "The user aborted the request to insert a new disk";
const char kDiskFull[] = "There is not enough space on the disk.";

// The caller's report buffer; every write is bounded by its capacity, terminator included.
class Report {
public:
    // Nothing is written until Begin: a call refused early leaves the buffer as it was.
    Report(char *text, DWORD capacity) : text_(capacity ? text : nullptr), capacity_(capacity) {}

    // Starts the report from the beginning of the buffer, replacing what was there.
    void Begin() {
        if (text_)
            text_[0] = '\0';
    }

    void Append(const char *format, ...) {
        if (!text_)
            return;
        size_t used = std::strlen(text_);
        if (used + 1 >= capacity_)
            return;
        va_list args;
        va_start(args, format);
        vsnprintf(text_ + used, capacity_ - used, format, args);
        va_end(args);
    }

    // The system's text for an error code, without its line break; nothing when the system
    // has no text for the code.
    void AppendSystemText(DWORD code) {
        if (!text_)
            return;
        char message[512];
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, sizeof message, nullptr);
        if (n == 0)
            return;
        message[sizeof message - 1] = '\0';
        size_t length = std::strlen(message);
        while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r'))
            message[--length] = '\0';
        Append("%s", message);
    }

    // Appends a failure text that starts with ". ": after a report that already ends with a
    // full stop (an earlier failure's text) the stop is not doubled.
    void AppendFailure(const char *format, ...) {
        if (!text_)
            return;
        size_t used = std::strlen(text_);
        if (used + 1 >= capacity_)
            return;
        char part[1200];
        va_list args;
        va_start(args, format);
        vsnprintf(part, sizeof part, format, args);
        va_end(args);
        const char *from = part;
        if (used > 0 && text_[used - 1] == '.' && part[0] == '.')
            ++from;
        snprintf(text_ + used, capacity_ - used, "%s", from);
    }

    // Whether the report already names text (a path).
    bool Mentions(const char *text) const { return text_ && std::strstr(text_, text) != nullptr; }

    // A library that cannot write its archive for lack of space may say so in terms of a
    // removable disk; the report then says what happened and ends there.
    void RewordDiskFull() {
        if (!text_)
            return;
        char *at = std::strstr(text_, kDiskFullAbort);
        if (!at)
            return;
        size_t room = capacity_ - static_cast<size_t>(at - text_);
        snprintf(at, room, "%s", kDiskFull);
    }

private:
    char *text_;
    size_t capacity_;
};

bool HasTemplateField(const char *text) {
    return std::strchr(text, '<') || std::strchr(text, '>');
}

bool EndsWithBackslash(const char *text) {
    size_t n = std::strlen(text);
    return n > 0 && text[n - 1] == '\\';
}

// Copies text into a working buffer; false when it is longer than the limit.
bool CopyText(char *work, const char *text) {
    if (!text) {
        work[0] = '\0';
        return true;
    }
    if (std::strlen(text) > static_cast<size_t>(ZipUtilityTextLimit))
        return false;
    snprintf(work, WorkSize, "%s", text);
    return true;
}

// Expands a template in its working buffer with the current UTC time. Returns the expansion's
// code, or 14 when the result outgrew the limit.
DWORD ExpandWork(char *work) {
    if (!HasTemplateField(work))
        return 0;
    SYSTEMTIME now;
    GetSystemTime(&now);
    DWORD result = ExpandFileNameTemplate(work, now);
    if (result != 0)
        return result;
    return std::strlen(work) > static_cast<size_t>(ZipUtilityTextLimit) ? ZipUtilityTextTooLong : 0;
}

// Joins folder, a backslash and name; false when the result would exceed the limit.
bool JoinPath(char *out, const char *folder, bool alwaysBackslash, const char *name) {
    const char *separator = (alwaysBackslash || !EndsWithBackslash(folder)) ? "\\" : "";
    if (std::strlen(folder) + std::strlen(separator) + std::strlen(name) >
        static_cast<size_t>(ZipUtilityTextLimit))
        return false;
    // The length is checked above; the result is checked as well, so that no compiler takes
    // the join for a truncation.
    const int written = snprintf(out, WorkSize, "%s%s%s", folder, separator, name);
    return written >= 0 && static_cast<size_t>(written) < WorkSize;
}

// The archive path for a target: its extension becomes ".zip", unless the extension already
// names a zip archive. Only the file-name part is looked at, so a dot in a folder name does not
// count. False when the result would exceed the limit.
bool ApplyZipExtension(char *path) {
    char *name = std::strrchr(path, '\\');
    name = name ? name + 1 : path;
    char *dot = std::strchr(name, '.');
    if (dot && std::strstr(dot, "zip"))
        return true;
    if (dot)
        *dot = '\0';
    if (std::strlen(path) + 4 > static_cast<size_t>(ZipUtilityTextLimit))
        return false;
    std::strcat(path, ".zip");
    return true;
}

LONGLONG AsSigned(FILETIME time) {
    return static_cast<LONGLONG>(FileTimeToUnits(time));
}

bool WindowShown(FILETIME start, FILETIME end) {
    if (start.dwLowDateTime == 0 || start.dwHighDateTime == 0)
        return false;
    return end.dwLowDateTime != 0xFFFFFFFFu && end.dwHighDateTime != 0x7FFFFFFFu;
}

DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

// Windows paths compare without regard to case.
bool SamePath(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool FindFile(const char *path, WIN32_FIND_DATAA *data) {
    HANDLE search = FindFirstFileA(path, data);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

}  // namespace

DWORD CopyFileByRule(const char *source, const char *target, OverwriteRule rule) {
    switch (rule) {
        case OverwriteNever:
            if (CopyFileA(source, target, TRUE))
                return 0;
            {
                DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
                return error == ERROR_FILE_EXISTS ? 0 : error;
            }
        case OverwriteAlways:
            return CopyFileA(source, target, FALSE) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
        case OverwriteIfSmaller:
        case OverwriteIfLarger:
        case OverwriteIfOlder:
        case OverwriteIfNewer: {
            WIN32_FIND_DATAA from;
            WIN32_FIND_DATAA onto;
            if (!FindFile(source, &from))
                return ZipUtilityWildcardTarget;
            bool copy = true;
            if (FindFile(target, &onto)) {
                const LONGLONG sourceTime = AsSigned(from.ftLastWriteTime);
                const LONGLONG targetTime = AsSigned(onto.ftLastWriteTime);
                switch (rule) {
                    case OverwriteIfSmaller:
                        copy = FoundFileSize(onto) < FoundFileSize(from);
                        break;
                    case OverwriteIfLarger:
                        copy = FoundFileSize(onto) > FoundFileSize(from);
                        break;
                    case OverwriteIfOlder:
                        copy = targetTime < sourceTime;
                        break;
                    default:
                        copy = targetTime > sourceTime;
                        break;
                }
            }
            if (!copy)
                return 0;
            return CopyFileA(source, target, FALSE) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
        }
        default:
            return 0;
    }
}

namespace {

// What one ProcessFiles call works on: the folders and the pattern with their templates
// expanded, and the target path (fixed, or the current file's name in the destination).
struct FileWalk {
    FileAction Action = ActionDelete;
    OverwriteRule Rule = OverwriteNever;
    char Source[WorkSize] = {};
    char Destination[WorkSize] = {};
    char SearchPattern[WorkSize] = {};
    char FixedTarget[WorkSize] = {};
    char TargetPath[WorkSize] = {};
    bool FixedName = false;
};

// Expands the folders and the pattern, and makes the destination when it is missing. Returns 0
// or ProcessFiles' result.
DWORD PrepareFolders(FileWalk &walk, const char *sourceFolder, const char *pattern,
                     const char *destinationFolder, Report &out) {
    DWORD result;
    if (!CopyText(walk.Source, sourceFolder) || !CopyText(walk.Destination, destinationFolder))
        return ZipUtilityTextTooLong;
    if ((result = ExpandWork(walk.Source)) != 0)
        return result;
    if (!CopyText(walk.SearchPattern, pattern))
        return ZipUtilityTextTooLong;
    if ((result = ExpandWork(walk.SearchPattern)) != 0)
        return result;
    if ((result = ExpandWork(walk.Destination)) != 0)
        return result;

    if (GetFileAttributesA(walk.Destination) == INVALID_FILE_ATTRIBUTES) {
        DWORD error = CreateDirectoryPath(walk.Destination);
        if (error != 0) {
            out.Begin();
            out.Append("Error preparing %s. ", walk.Destination);
            out.AppendSystemText(error);
            return ZipUtilityCannotMakeFolder;
        }
    }
    return 0;
}

// A fixed target name: no wildcards, its template expanded, joined to the destination.
DWORD PrepareFixedTarget(FileWalk &walk, const char *targetName) {
    walk.FixedName = targetName && *targetName;
    if (!walk.FixedName)
        return 0;
    DWORD result;
    if (!CopyText(walk.FixedTarget, targetName))
        return ZipUtilityTextTooLong;
    if (std::strchr(walk.FixedTarget, '*') || std::strchr(walk.FixedTarget, '?'))
        return ZipUtilityWildcardTarget;
    if (HasTemplateField(walk.FixedTarget)) {
        if ((result = ExpandFileNameTemplateNow(walk.FixedTarget)) != 0)
            return result;
        if (std::strlen(walk.FixedTarget) > static_cast<size_t>(ZipUtilityTextLimit))
            return ZipUtilityTextTooLong;
    }
    if (!JoinPath(walk.TargetPath, walk.Destination, true, walk.FixedTarget))
        return ZipUtilityTextTooLong;
    return 0;
}

// What is about to be done: the names as the caller gave them, folders expanded.
void ReportIntent(Report &out, const FileWalk &walk, const char *pattern, const char *targetName,
                  FILETIME start, FILETIME end) {
    out.Begin();
    out.Append("%s%s", kReportVerbs[walk.Action], walk.Source);
    if (pattern)
        out.Append("%s%s", EndsWithBackslash(walk.Source) ? "" : "\\", pattern);
    out.Append(" to %s", walk.Destination);
    if (walk.FixedName)
        out.Append("%s%s", EndsWithBackslash(walk.Destination) ? "" : "\\", targetName);
    if (WindowShown(start, end)) {
        SYSTEMTIME from = {};
        SYSTEMTIME to = {};
        FileTimeToSystemTime(&start, &from);
        FileTimeToSystemTime(&end, &to);
        out.Append(" TimeFilter: %s - %s", ShortDateSecond(from).Text, ShortDateSecond(to).Text);
    }
}

// Starts the search of the source folder for the pattern; on failure reports it and gives the
// result.
HANDLE StartSearch(const FileWalk &walk, WIN32_FIND_DATAA &found, Report &out, DWORD &result) {
    char searchPath[WorkSize];
    HANDLE search = INVALID_HANDLE_VALUE;
    if (!JoinPath(searchPath, walk.Source, true, walk.SearchPattern)) {
        result = ZipUtilitySearchPathTooLong;
    } else {
        search = FindFirstFileA(searchPath, &found);
        if (search == INVALID_HANDLE_VALUE)
            result = LastErrorOr(ERROR_FILE_NOT_FOUND);
    }
    if (search == INVALID_HANDLE_VALUE)
        out.Append(". Error: No source files exist.");
    return search;
}

// Rules beyond the known ones copy nothing, so the source must stay. Otherwise the source goes
// only when the target now holds its bytes: copied, or equal already. A target the rule kept
// with other contents keeps the source too, and the move fails with "The file exists".
DWORD MoveByRule(const char *fullPath, const char *targetPath, OverwriteRule rule) {
    DWORD result = CopyFileByRule(fullPath, targetPath, rule);
    if (result == 0 && rule <= OverwriteIfNewer) {
        bool same = false;
        result = FilesHoldSameBytes(fullPath, targetPath, &same);
        if (result == 0 && !same)
            result = ERROR_FILE_EXISTS;
        if (result == 0 && !DeleteFileA(fullPath))
            result = LastErrorOr(ERROR_GEN_FAILURE);
    }
    return result;
}

// Adds the file to its archive (the target with ".zip"), or extracts the archive into the
// destination; a failure goes into the report.
DWORD ZipOrUnzip(const FileWalk &walk, const char *fullPath, Report &out) {
    const FileAction action = walk.Action;
    char archivePath[WorkSize];
    const char *archive = fullPath;
    if (action == ActionZip) {
        snprintf(archivePath, sizeof archivePath, "%s", walk.TargetPath);
        if (!ApplyZipExtension(archivePath))
            return ZipUtilityTextTooLong;
        archive = archivePath;
        // A file that is its own archive (an old ".zip" picked up by a wide pattern) cannot be
        // added to itself; going on would lose it when the zipped files are deleted afterwards.
        if (SamePath(archivePath, fullPath)) {
            out.AppendFailure("%s%s to %s. %s", kFailureVerbs[action], fullPath, archive,
                              "A zip file cannot be added to itself.");
            return ERROR_INVALID_PARAMETER;
        }
    }
    DWORD result;
    try {
        ZipUtil zip(archive);
        result = action == ActionZip ? static_cast<DWORD>(zip.AddFiles(fullPath, walk.Rule))
                                     : static_cast<DWORD>(zip.ExtractAll(walk.Destination, walk.Rule));
        if (result != 0) {
            out.AppendFailure("%s%s to %s. %s", kFailureVerbs[action], fullPath,
                              action == ActionZip ? archive : walk.Destination, zip.ErrorTextRef);
            out.RewordDiskFull();
        }
    } catch (const ZipUtilException &) {
        result = ZipUtilityNoZipObject;
        out.AppendFailure("%s%s to %s. %s", kFailureVerbs[action], fullPath,
                          action == ActionZip ? archive : walk.Destination, "Error allocating Zip object.");
    }
    return result;
}

// Deletes, copies, moves, zips or unzips one file found. Returns 0 or the error.
DWORD ActOnFile(const FileWalk &walk, const char *fullPath, Report &out) {
    switch (walk.Action) {
        case ActionDelete:
            return DeleteFileA(fullPath) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
        case ActionCopy:
            return CopyFileByRule(fullPath, walk.TargetPath, walk.Rule);
        case ActionMove:
            return MoveByRule(fullPath, walk.TargetPath, walk.Rule);
        case ActionZip:
        case ActionUnzip:
            return ZipOrUnzip(walk, fullPath, out);
    }
    return 0;
}

}  // namespace

DWORD ProcessFiles(FileAction action, const char *sourceFolder, const char *pattern,
                   const char *destinationFolder, const char *targetName, OverwriteRule rule, FILETIME start,
                   FILETIME end, char *report, DWORD reportCapacity) {
    if (action > ActionUnzip)
        return ERROR_INVALID_PARAMETER;
    Report out(report, report ? reportCapacity : 0);
    FileWalk walk;
    walk.Action = action;
    walk.Rule = rule;
    DWORD result = PrepareFolders(walk, sourceFolder, pattern, destinationFolder, out);
    if (result == 0)
        result = PrepareFixedTarget(walk, targetName);
    if (result != 0)
        return result;
    ReportIntent(out, walk, pattern, targetName, start, end);

    WIN32_FIND_DATAA found;
    HANDLE search = StartSearch(walk, found, out, result);
    if (search == INVALID_HANDLE_VALUE)
        return result;

    const LONGLONG windowStart = AsSigned(start);
    const LONGLONG windowEnd = AsSigned(end);
    result = 0;
    // Zipping goes on past a file that could not be zipped (a corrupt archive, a file that
    // cannot be read): one bad archive must not hold up every other file, hour after hour.
    // The first failure is the result; every failure is in the report.
    DWORD firstZipFailure = 0;
    do {
        char fullPath[WorkSize];
        if (!JoinPath(fullPath, walk.Source, false, found.cFileName))
            break;
        if (found.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY || std::strcmp(found.cFileName, ".") == 0 ||
            std::strcmp(found.cFileName, "..") == 0)
            continue;
        if (!walk.FixedName && !JoinPath(walk.TargetPath, walk.Destination, true, found.cFileName)) {
            result = ZipUtilityTextTooLong;
            break;
        }
        const LONGLONG written = AsSigned(found.ftLastWriteTime);
        if (written < windowStart || written > windowEnd)
            continue;

        result = ActOnFile(walk, fullPath, out);
        // Without the library no file can be zipped: that ends the walk at once.
        if (result != 0 && action == ActionZip && result != ZipUtilityNoZipObject &&
            result != ZipUtilityTextTooLong) {
            if (firstZipFailure == 0)
                firstZipFailure = result;
            result = 0;
            continue;
        }
        if (result != 0) {
            if (action <= ActionMove) {
                out.Append("%s%s ", kFailureVerbs[action], fullPath);
                if (action != ActionDelete)
                    out.Append("to %s. ", walk.TargetPath);
                out.AppendSystemText(result);
            }
            break;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);

    if (result == 0)
        result = firstZipFailure;
    if (result == 0)
        out.Append(". Operation successful.");
    return result;
}

DWORD DeleteZippedFiles(const char *folder, const char *pattern, FILETIME start, FILETIME end, char *report,
                        DWORD reportCapacity) {
    Report out(report, report ? reportCapacity : 0);
    char source[WorkSize];
    char searchPattern[WorkSize];
    DWORD result;
    if (!CopyText(source, folder) || !CopyText(searchPattern, pattern))
        return ZipUtilityTextTooLong;
    if ((result = ExpandWork(source)) != 0 || (result = ExpandWork(searchPattern)) != 0)
        return result;

    char searchPath[WorkSize];
    if (!JoinPath(searchPath, source, true, searchPattern))
        return ZipUtilitySearchPathTooLong;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(searchPath, &found);
    if (search == INVALID_HANDLE_VALUE)
        return LastErrorOr(ERROR_FILE_NOT_FOUND);

    const LONGLONG windowStart = AsSigned(start);
    const LONGLONG windowEnd = AsSigned(end);
    DWORD firstFailure = 0;
    do {
        char fullPath[WorkSize];
        char archivePath[WorkSize];
        if (!JoinPath(fullPath, source, false, found.cFileName))
            break;
        if (found.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY || std::strcmp(found.cFileName, ".") == 0 ||
            std::strcmp(found.cFileName, "..") == 0)
            continue;
        const LONGLONG written = AsSigned(found.ftLastWriteTime);
        if (written < windowStart || written > windowEnd)
            continue;
        // An archive matched by the pattern is its own archive: never deleted here.
        if (!JoinPath(archivePath, source, true, found.cFileName) || !ApplyZipExtension(archivePath) ||
            SamePath(archivePath, fullPath))
            continue;
        DWORD kept = 0;
        char reason[ZipUtil::ErrorTextSize];
        try {
            ZipUtil zip(archivePath);
            kept = static_cast<DWORD>(zip.DeleteArchivedFile(fullPath));
            snprintf(reason, sizeof reason, "%s", zip.ErrorTextRef);
        } catch (const ZipUtilException &) {
            kept = ZipUtilityNoZipObject;
            snprintf(reason, sizeof reason, "Error allocating Zip object.");
        }
        if (kept == 0)
            continue;
        if (firstFailure == 0)
            firstFailure = kept;
        // A file the report names already (its zipping failed) is not named twice.
        if (!out.Mentions(fullPath))
            out.Append(" Kept %s, not verified in %s: %s", fullPath, archivePath, reason);
        if (kept == ZipUtilityNoZipObject)
            break;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return firstFailure;
}
