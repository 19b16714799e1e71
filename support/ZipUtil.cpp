#include "support/ZipUtil.h"

#include <new>

#include "services/Win32Util.h"
#include "support/FileChecksum.h"

namespace {

// Positions in the library's function table, and how each entry is called.
enum ZipEntry {
    EntryShutdown = 1,
    EntryNewHandle = 3,
    EntryReleaseHandle = 4,
    EntryBaseFolder = 19,
    EntryName = 38,
    EntryExtractOption = 48,
    EntryDestination = 124,
    EntryBindArchive = 130,
    EntryResultText = 146,
    EntryExtract = 166,
    EntryAdd = 167,
    EntryEndListing = 201,
    EntryStartListing = 202,
    EntryFirstItem = 204,
    EntryNextItem = 206,
};

typedef void(WINAPI *ShutdownFn)();
typedef void *(WINAPI *NewHandleFn)();
typedef void(WINAPI *HandleFn)(void *zip);
typedef void(WINAPI *HandleTextFn)(void *zip, const char *text);
typedef void(WINAPI *HandleValueFn)(void *zip, int value);
typedef void(WINAPI *ResultTextFn)(void *zip, int zero, int result, char *text, int capacity);
typedef int(WINAPI *HandleResultFn)(void *zip);
typedef void(WINAPI *EndListingFn)(void *listing);
typedef int(WINAPI *StartListingFn)(void *zip, void **listing);
typedef int(WINAPI *ItemFn)(void *listing, void *record);

typedef void(WINAPI *InitFn)();

constexpr int ItemNameOffset = 8;
constexpr int ItemSizeOffset = 1292;
constexpr int ItemTimeOffset = 1312;
constexpr int ItemNameCapacity = ItemSizeOffset - ItemNameOffset;

// What the run-time library adds to the record beyond the three fields above, marked by a
// signature; a record without it leaves the rule to the 32-bit size and the local time.
constexpr int ItemInfoOffset = 1328;
constexpr DWORD ItemInfoSignature = 0x31495A58;  // "XZI1"
constexpr int ItemCrcOffset = ItemInfoOffset + 4;
constexpr int ItemSize64Offset = ItemInfoOffset + 8;
constexpr int ItemUtcTimeOffset = ItemInfoOffset + 16;
constexpr int ItemFlagsOffset = ItemInfoOffset + 24;
constexpr DWORD ItemTimeKnown = 1;
constexpr DWORD ItemTimeExact = 2;

// Precisions of a time, in 100-ns units.
constexpr ULONGLONG ExactTime = 1;
constexpr ULONGLONG Millisecond = 10000;
constexpr ULONGLONG DosTimeStep = 2 * FileTimeUnitsPerSecond;

template <typename T>
T ReadRecord(const BYTE *record, int offset) {
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

char *DuplicateText(const char *text) {
    size_t n = std::strlen(text);
    char *copy = new (std::nothrow) char[n + 1];
    if (copy)
        std::memcpy(copy, text, n + 1);
    return copy;
}

}  // namespace

ZipUtil::ZipUtil(const char *archivePath) {
    ArchivePath = DuplicateText(archivePath ? archivePath : "");

    Library = LoadLibraryA("XceedZip.dll");
    if (!Library) {
        Release();
        throw ZipUtilException(ZipUtilException::LibraryNotLoaded);
    }
    // The init export takes no arguments; it is reached through the generic function type.
    InitFn init =
        reinterpret_cast<InitFn>(reinterpret_cast<void (*)()>(GetProcAddress(Library, "XceedZipInitDLL")));
    if (!init) {
        Release();
        throw ZipUtilException(ZipUtilException::NoInitExport);
    }
    init();
    FunctionTable = reinterpret_cast<void **>(GetProcAddress(Library, "g_xzFunctions"));
    if (!FunctionTable) {
        Release();
        throw ZipUtilException(ZipUtilException::NoFunctionTable);
    }
    NewZipHandle();
    if (!ZipHandle) {
        Release();
        throw ZipUtilException(ZipUtilException::NoZipHandle);
    }
    reinterpret_cast<HandleTextFn>(FunctionTable[EntryBindArchive])(ZipHandle,
                                                                    ArchivePath ? ArchivePath : "");

    // Named mutexes may not hold backslashes, so the lock is named after the path with
    // underscores in their place.
    if (ArchivePath) {
        LockName = DuplicateText(ArchivePath);
        if (LockName) {
            for (char *p = LockName; *p; ++p)
                if (*p == '\\')
                    *p = '_';
            ArchiveLock = OpenMutexA(SYNCHRONIZE, FALSE, LockName);
            if (!ArchiveLock)
                ArchiveLock = CreateMutexA(nullptr, FALSE, LockName);
        }
    }
}

ZipUtil::~ZipUtil() {
    Release();
}

// Frees everything the object holds; used by the destructor and by a constructor that
// cannot go on.
void ZipUtil::Release() {
    delete[] ArchivePath;
    ArchivePath = nullptr;
    if (ArchiveLock) {
        CloseHandle(ArchiveLock);
        ArchiveLock = nullptr;
    }
    delete[] LockName;
    LockName = nullptr;
    delete[] NameCopy;
    NameCopy = nullptr;
    delete[] BaseFolder;
    BaseFolder = nullptr;
    if (FunctionTable) {
        ReleaseZipHandle();
        reinterpret_cast<ShutdownFn>(FunctionTable[EntryShutdown])();
        FunctionTable = nullptr;
    }
    if (Library) {
        FreeLibrary(Library);
        Library = nullptr;
    }
}

void ZipUtil::NewZipHandle() {
    ZipHandle = reinterpret_cast<NewHandleFn>(FunctionTable[EntryNewHandle])();
}

void ZipUtil::ReleaseZipHandle() {
    if (ZipHandle) {
        reinterpret_cast<HandleFn>(FunctionTable[EntryReleaseHandle])(ZipHandle);
        ZipHandle = nullptr;
    }
}

void ZipUtil::FillErrorText() {
    ErrorText[0] = '\0';
    reinterpret_cast<ResultTextFn>(FunctionTable[EntryResultText])(ZipHandle, 0, LastResult, ErrorText,
                                                                   ErrorTextSize);
    ErrorText[ErrorTextSize - 1] = '\0';
}

// Waits without limit for the archive's lock. A lock whose holder died (WAIT_ABANDONED) has
// been obtained all the same. Without the lock nothing is done, and the operation reports it.
bool ZipUtil::AcquireLock() {
    if (ArchiveLock) {
        DWORD waited = WaitForSingleObject(ArchiveLock, INFINITE);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            return true;
    }
    LastResult = LockFailed;
    snprintf(ErrorText, sizeof ErrorText, "The lock of the zip file %s could not be obtained.",
             ArchivePath ? ArchivePath : "");
    return false;
}

const char *ZipUtil::ItemName() const {
    return reinterpret_cast<const char *>(ItemRecord + ItemNameOffset);
}

bool ZipUtil::HasItemInfo() const {
    return ReadRecord<DWORD>(ItemRecord, ItemInfoOffset) == ItemInfoSignature;
}

// The item's size: 64-bit where the library gives it, else the record's 32-bit field.
ULONGLONG ZipUtil::ItemSize() const {
    if (HasItemInfo())
        return ReadRecord<ULONGLONG>(ItemRecord, ItemSize64Offset);
    return ReadRecord<DWORD>(ItemRecord, ItemSizeOffset);
}

DWORD ZipUtil::ItemCrc() const {
    return ReadRecord<DWORD>(ItemRecord, ItemCrcOffset);
}

// The item's modification time (local time) as a file time; 0 when the record holds none.
FILETIME ZipUtil::ItemLocalTime() const {
    SYSTEMTIME time;
    std::memcpy(&time, ItemRecord + ItemTimeOffset, sizeof time);
    FILETIME fileTime = {};
    if (!SystemTimeToFileTime(&time, &fileTime))
        fileTime = FILETIME{};
    return fileTime;
}

// The item's modification time in UTC and its precision. The library's exact UTC time where
// it gives one; otherwise the record's local time, taken back to UTC with the offset in force
// now, just as the disk side's local time would be made with it (the two then differ by the
// same offset, so their order holds; the exact time is preferred because it is right across
// a change of daylight saving). False when the item has no time.
bool ZipUtil::ItemUtcTime(ULONGLONG *time, ULONGLONG *precision) const {
    if (HasItemInfo()) {
        const DWORD flags = ReadRecord<DWORD>(ItemRecord, ItemFlagsOffset);
        if (!(flags & ItemTimeKnown))
            return false;
        *time = ReadRecord<ULONGLONG>(ItemRecord, ItemUtcTimeOffset);
        *precision = (flags & ItemTimeExact) ? ExactTime : DosTimeStep;
        return true;
    }
    FILETIME local = ItemLocalTime();
    FILETIME utc;
    if (FileTimeToUnits(local) == 0 || !LocalFileTimeToFileTime(&local, &utc))
        return false;
    *time = FileTimeToUnits(utc);
    *precision = Millisecond;
    return true;
}

// The overwrite rule: whether the target is replaced by the source. Sizes compare as 64-bit
// values; times are UTC, both cut to the coarser precision first, so that a file and its own
// archived copy compare equal.
bool ZipUtil::TargetIsReplaced(OverwriteRule rule, ULONGLONG targetSize, ULONGLONG targetTime,
                               ULONGLONG sourceSize, ULONGLONG sourceTime, ULONGLONG precision) {
    const ULONGLONG target = targetTime / precision;
    const ULONGLONG source = sourceTime / precision;
    switch (rule) {
        case OverwriteAlways:
            return true;
        case OverwriteIfSmaller:
            return targetSize < sourceSize;
        case OverwriteIfLarger:
            return targetSize > sourceSize;
        case OverwriteIfOlder:
            return target < source;
        case OverwriteIfNewer:
            return target > source;
        default:
            return false;
    }
}

// Adding: the archive item (ItemRecord) is the target, the found disk file the source.
bool ZipUtil::ItemIsReplacedByFile(OverwriteRule rule) const {
    ULONGLONG itemTime = 0;
    ULONGLONG precision = ExactTime;
    ItemUtcTime(&itemTime, &precision);
    return TargetIsReplaced(rule, ItemSize(), itemTime, FoundFileSize(SearchData),
                            FileTimeToUnits(SearchData.ftLastWriteTime), precision);
}

// Extracting: the found disk file is the target, the archive item the source.
bool ZipUtil::FileIsReplacedByItem(OverwriteRule rule) const {
    ULONGLONG itemTime = 0;
    ULONGLONG precision = ExactTime;
    ItemUtcTime(&itemTime, &precision);
    return TargetIsReplaced(rule, FoundFileSize(SearchData), FileTimeToUnits(SearchData.ftLastWriteTime),
                            ItemSize(), itemTime, precision);
}

// Lists the archive for an item called name (exact, case-sensitive); ItemRecord holds it when
// found. *listingResult gets the listing's result (0 when the archive could be read).
bool ZipUtil::FindItem(const char *name, LONG *listingResult) {
    void *listing = nullptr;
    *listingResult = reinterpret_cast<StartListingFn>(FunctionTable[EntryStartListing])(ZipHandle, &listing);
    if (*listingResult != 0)
        return false;
    bool found = false;
    int more = reinterpret_cast<ItemFn>(FunctionTable[EntryFirstItem])(listing, ItemRecord);
    while (more) {
        ItemRecord[ItemSizeOffset - 1] = 0;  // the name ends inside its field
        if (name && std::strcmp(ItemName(), name) == 0) {
            found = true;
            break;
        }
        more = reinterpret_cast<ItemFn>(FunctionTable[EntryNextItem])(listing, ItemRecord);
    }
    reinterpret_cast<EndListingFn>(FunctionTable[EntryEndListing])(listing);
    return found;
}

bool ZipUtil::ArchiveFileExists() const {
    return ArchivePath && GetFileAttributesA(ArchivePath) != INVALID_FILE_ATTRIBUTES;
}

LONG ZipUtil::AddFiles(const char *pattern, OverwriteRule rule) {
    if (!AcquireLock())
        return LastResult;

    // Base folder: the pattern up to its last backslash; a drive root keeps its backslash.
    const char *slash = pattern ? std::strrchr(pattern, '\\') : nullptr;
    size_t baseLength = slash ? static_cast<size_t>(slash - pattern) : 0;
    if (slash && baseLength == 2)
        baseLength = 3;
    BaseFolder = new (std::nothrow) char[baseLength + 1];
    if (BaseFolder) {
        std::memcpy(BaseFolder, pattern, baseLength);
        BaseFolder[baseLength] = '\0';
    }

    SearchHandle = pattern ? FindFirstFileA(pattern, &SearchData) : INVALID_HANDLE_VALUE;
    if (SearchHandle != INVALID_HANDLE_VALUE) {
        do {
            if (std::strcmp(SearchData.cFileName, ".") == 0 || std::strcmp(SearchData.cFileName, "..") == 0)
                continue;
            delete[] NameCopy;
            NameCopy = DuplicateText(SearchData.cFileName);

            // Look for an item of the same name in the archive. Without an archive the file is
            // added; an archive that is there but cannot be read is left as it is, and its file
            // is not zipped: adding would replace or fail on what may still be recovered.
            bool add = true;
            LONG listed = 0;
            const bool found = FindItem(NameCopy, &listed);
            LastResult = listed;
            if (listed != 0) {
                if (ArchiveFileExists()) {
                    FillErrorText();
                    break;
                }
                LastResult = 0;
            } else if (found) {
                add = ItemIsReplacedByFile(rule);
            }
            if (!add)
                continue;

            reinterpret_cast<HandleTextFn>(FunctionTable[EntryBaseFolder])(ZipHandle,
                                                                           BaseFolder ? BaseFolder : "");
            reinterpret_cast<HandleTextFn>(FunctionTable[EntryName])(ZipHandle, SearchData.cFileName);
            LastResult = reinterpret_cast<HandleResultFn>(FunctionTable[EntryAdd])(ZipHandle);
            FillErrorText();
            // A fresh handle for whatever comes next.
            ReleaseZipHandle();
            NewZipHandle();
            if (ZipHandle)
                reinterpret_cast<HandleTextFn>(FunctionTable[EntryBindArchive])(
                    ZipHandle, ArchivePath ? ArchivePath : "");
            if (LastResult != 0)
                break;
        } while (FindNextFileA(SearchHandle, &SearchData));
        FindClose(SearchHandle);
    }
    SearchHandle = nullptr;

    delete[] BaseFolder;
    BaseFolder = nullptr;
    ReleaseMutex(ArchiveLock);
    return LastResult;
}

LONG ZipUtil::ExtractAll(const char *destinationFolder, OverwriteRule rule) {
    if (!AcquireLock())
        return LastResult;
    const char *folder = destinationFolder ? destinationFolder : "";
    const size_t folderLength = std::strlen(folder);
    const bool folderEndsWithBackslash = folderLength > 0 && folder[folderLength - 1] == '\\';

    // A failed extraction does not stop the walk, but neither does a later success hide it:
    // the last failure is what the operation returns.
    LONG failure = 0;
    char failureText[ErrorTextSize] = {};

    void *listing = nullptr;
    LastResult = reinterpret_cast<StartListingFn>(FunctionTable[EntryStartListing])(ZipHandle, &listing);
    if (LastResult == 0) {
        int more = reinterpret_cast<ItemFn>(FunctionTable[EntryFirstItem])(listing, ItemRecord);
        while (more) {
            ItemRecord[ItemSizeOffset - 1] = 0;  // the name ends inside its field
            char itemName[ItemNameCapacity];
            snprintf(itemName, sizeof itemName, "%s", ItemName());

            // Only the base name counts, after the last backslash or slash: an item named
            // with folder parts, "..\" or an absolute path lands in the destination folder.
            const char *base = itemName;
            for (const char *p = itemName; *p; ++p)
                if (*p == '\\' || *p == '/')
                    base = p + 1;
            char target[MAX_PATH + ItemNameCapacity];
            snprintf(target, sizeof target, "%s%s%s", folder, folderEndsWithBackslash ? "" : "\\", base);

            bool extract = true;
            HANDLE search = FindFirstFileA(target, &SearchData);
            if (search != INVALID_HANDLE_VALUE) {
                FindClose(search);
                // The disk file is the target, the archive item the source.
                extract = FileIsReplacedByItem(rule);
            }
            if (extract) {
                reinterpret_cast<HandleTextFn>(FunctionTable[EntryDestination])(ZipHandle, folder);
                reinterpret_cast<HandleValueFn>(FunctionTable[EntryExtractOption])(ZipHandle, 0);
                reinterpret_cast<HandleTextFn>(FunctionTable[EntryName])(ZipHandle, itemName);
                LastResult = reinterpret_cast<HandleResultFn>(FunctionTable[EntryExtract])(ZipHandle);
                FillErrorText();
                if (LastResult != 0) {
                    failure = LastResult;
                    snprintf(failureText, sizeof failureText, "%s", ErrorText);
                }
            }
            more = reinterpret_cast<ItemFn>(FunctionTable[EntryNextItem])(listing, ItemRecord);
        }
        reinterpret_cast<EndListingFn>(FunctionTable[EntryEndListing])(listing);
        if (failure != 0 && LastResult == 0) {
            LastResult = failure;
            snprintf(ErrorText, sizeof ErrorText, "%s", failureText);
        }
    } else {
        FillErrorText();
    }
    ReleaseMutex(ArchiveLock);
    return LastResult;
}

LONG ZipUtil::DeleteArchivedFile(const char *path) {
    if (!AcquireLock())
        return LastResult;
    LastResult = 0;
    ErrorText[0] = '\0';
    const char *slash = path ? std::strrchr(path, '\\') : nullptr;
    const char *name = slash ? slash + 1 : (path ? path : "");

    // One pass that ends at the first reason to keep the file.
    do {
        LONG listed = 0;
        const bool found = FindItem(name, &listed);
        if (listed != 0) {
            LastResult = listed;
            FillErrorText();
            break;
        }
        if (!found) {
            LastResult = NotInArchive;
            snprintf(ErrorText, sizeof ErrorText, "The zip file holds no item %s.", name);
            break;
        }
        if (!HasItemInfo()) {
            LastResult = CannotVerify;
            snprintf(ErrorText, sizeof ErrorText,
                     "The zip library gives no size and CRC-32 to check %s with.", name);
            break;
        }
        FileChecksum now;
        const DWORD error = ComputeFileChecksum(path, &now);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            break;  // nothing is left to delete
        if (error != 0) {
            LastResult = static_cast<LONG>(error);
            snprintf(ErrorText, sizeof ErrorText, "%s",
                     error == ERROR_INVALID_DATA ? "The file changed while it was checked."
                                                 : "The file could not be read to check it.");
            break;
        }
        if (now.Size != ItemSize() || now.Crc != ItemCrc()) {
            LastResult = NotInArchive;
            snprintf(ErrorText, sizeof ErrorText, "The zip file's %s differs from the file as it is now.",
                     name);
            break;
        }
        // The archive is to be the only copy: it goes to the disk before the file goes.
        HANDLE archive = CreateFileA(ArchivePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool flushed = archive != INVALID_HANDLE_VALUE && FlushFileBuffers(archive);
        if (!flushed)
            LastResult = static_cast<LONG>(LastErrorOr(ERROR_WRITE_FAULT));
        if (archive != INVALID_HANDLE_VALUE)
            CloseHandle(archive);
        if (!flushed) {
            snprintf(ErrorText, sizeof ErrorText, "The zip file could not be flushed to the disk.");
            break;
        }
        if (!DeleteFileA(path)) {
            LastResult = static_cast<LONG>(LastErrorOr(ERROR_ACCESS_DENIED));
            snprintf(ErrorText, sizeof ErrorText, "The file could not be deleted.");
        }
    } while (false);

    ReleaseMutex(ArchiveLock);
    return LastResult;
}
