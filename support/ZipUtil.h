// Access to one zip archive through the zip library loaded at run time ("XceedZip.dll").
#pragma once

#include "platform/win32.h"

// Whether an existing target is replaced: the archive item when adding, the disk file when
// extracting; the source is the other side.
enum OverwriteRule : BYTE {
    OverwriteNever = 0,
    OverwriteAlways = 1,
    OverwriteIfSmaller = 2,  // the target is smaller than the source
    OverwriteIfLarger = 3,   // the target is larger than the source
    OverwriteIfOlder = 4,    // the target's modification time is earlier than the source's
    OverwriteIfNewer = 5,    // the target's modification time is later than the source's
};

// Raised by the constructor when the library cannot be set up.
class ZipUtilException {
public:
    static constexpr DWORD LibraryNotLoaded = 1000;  // "XceedZip.dll" could not be loaded
    static constexpr DWORD NoInitExport = 1001;      // no export "XceedZipInitDLL"
    static constexpr DWORD NoZipHandle = 1002;       // the library returned no zip handle
    static constexpr DWORD NoFunctionTable = 1003;   // no export "g_xzFunctions"

    explicit ZipUtilException(DWORD code) : Code(code) {}
    DWORD Code;
};

// One object serves one archive for one operation. AddFiles and ExtractAll hold the
// archive's named lock for their whole run, so work on one archive is serialised across
// threads and processes.
class ZipUtil {
public:
    static constexpr int ErrorTextSize = 1000;
    static constexpr int ItemRecordSize = 1380;
    // Result when the archive lock cannot be opened, created or obtained: nothing was done
    // (ERROR_LOCK_VIOLATION).
    static constexpr LONG LockFailed = 33;
    // Results of DeleteArchivedFile when the file is kept: the archive does not hold its
    // current bytes (ERROR_INVALID_DATA), or the library gives no size and CRC-32 to check
    // them with (ERROR_NOT_SUPPORTED).
    static constexpr LONG NotInArchive = 13;
    static constexpr LONG CannotVerify = 50;

    explicit ZipUtil(const char *archivePath);
    ZipUtil(const ZipUtil &) = delete;
    ZipUtil &operator=(const ZipUtil &) = delete;
    ~ZipUtil();

    // Adds the files matching pattern (a path whose last component may hold wildcards).
    LONG AddFiles(const char *pattern, OverwriteRule rule);
    // Extracts every item under its base name into destinationFolder.
    LONG ExtractAll(const char *destinationFolder, OverwriteRule rule);
    // Deletes the file at path only when the archive holds an item of the file's name whose
    // 64-bit size and CRC-32 equal the file's bytes as they are now, checked under the
    // archive's lock just before the delete. Returns 0 when the file was deleted (or is gone),
    // else the reason it was kept, with ErrorText saying why.
    LONG DeleteArchivedFile(const char *path);

    char *NameCopy = nullptr;
    char *BaseFolder = nullptr;
    char *ArchivePath = nullptr;
    char *LockName = nullptr;
    LONG LastResult = 0;
    char ErrorText[ErrorTextSize] = {};
    HMODULE Library = nullptr;
    HANDLE ArchiveLock = nullptr;
    void *ZipHandle = nullptr;
    HANDLE SearchHandle = nullptr;
    WIN32_FIND_DATAA SearchData = {};
    FILETIME LocalFileTime = {};
    FILETIME ItemTime = {};
    void **FunctionTable = nullptr;
    BYTE ItemRecord[ItemRecordSize] = {};
    char *ErrorTextRef = ErrorText;

private:
    bool AcquireLock();
    void NewZipHandle();
    void ReleaseZipHandle();
    void FillErrorText();
    // The rule decides on 64-bit sizes and on times in UTC, compared at the coarser of the two
    // sides' precisions (units of 100 ns).
    static bool TargetIsReplaced(OverwriteRule rule, ULONGLONG targetSize, ULONGLONG targetTime,
                                 ULONGLONG sourceSize, ULONGLONG sourceTime, ULONGLONG precision);
    bool ItemIsReplacedByFile(OverwriteRule rule) const;
    bool FileIsReplacedByItem(OverwriteRule rule) const;
    bool FindItem(const char *name, LONG *listingResult);
    bool ArchiveFileExists() const;
    const char *ItemName() const;
    bool HasItemInfo() const;
    ULONGLONG ItemSize() const;
    DWORD ItemCrc() const;
    bool ItemUtcTime(ULONGLONG *time, ULONGLONG *precision) const;
    FILETIME ItemLocalTime() const;
    void Release();
};
