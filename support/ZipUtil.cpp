#include "support/ZipUtil.h"
#include "services/Win32Util.h"

#include <new>

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
    InitFn init = reinterpret_cast<InitFn>(reinterpret_cast<void (*)()>(GetProcAddress(Library, "XceedZipInitDLL")));
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
    reinterpret_cast<HandleTextFn>(FunctionTable[EntryBindArchive])(ZipHandle, ArchivePath ? ArchivePath : "");

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

ZipUtil::~ZipUtil() { Release(); }

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

void ZipUtil::NewZipHandle() { ZipHandle = reinterpret_cast<NewHandleFn>(FunctionTable[EntryNewHandle])(); }

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

const char *ZipUtil::ItemName() const { return reinterpret_cast<const char *>(ItemRecord + ItemNameOffset); }

DWORD ZipUtil::ItemSize() const {
    DWORD size;
    std::memcpy(&size, ItemRecord + ItemSizeOffset, sizeof size);
    return size;
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

// The overwrite rule: whether the target is replaced by the source. Sizes compare as 32-bit
// unsigned values. The archive keeps times to the millisecond, so disk times are cut to whole
// milliseconds before they are compared; a file and its own archived copy then compare equal.
bool ZipUtil::TargetIsReplaced(OverwriteRule rule, DWORD targetSize, FILETIME targetTime, DWORD sourceSize,
                               FILETIME sourceTime) const {
    const ULONGLONG target = FileTimeToUnits(targetTime) / 10000;
    const ULONGLONG source = FileTimeToUnits(sourceTime) / 10000;
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

            // Look for an item of the same name in the archive.
            bool add = true;
            void *listing = nullptr;
            LastResult = reinterpret_cast<StartListingFn>(FunctionTable[EntryStartListing])(ZipHandle, &listing);
            if (LastResult == 0) {
                bool found = false;
                int more = reinterpret_cast<ItemFn>(FunctionTable[EntryFirstItem])(listing, ItemRecord);
                while (more) {
                    ItemRecord[ItemSizeOffset - 1] = 0;  // the name ends inside its field
                    if (NameCopy && std::strcmp(ItemName(), NameCopy) == 0) {
                        found = true;
                        break;
                    }
                    more = reinterpret_cast<ItemFn>(FunctionTable[EntryNextItem])(listing, ItemRecord);
                }
                reinterpret_cast<EndListingFn>(FunctionTable[EntryEndListing])(listing);
                if (found) {
                    // The archive item is the target, the disk file the source.
                    FileTimeToLocalFileTime(&SearchData.ftLastWriteTime, &LocalFileTime);
                    ItemTime = ItemLocalTime();
                    add = TargetIsReplaced(rule, ItemSize(), ItemTime, SearchData.nFileSizeLow, LocalFileTime);
                }
            }
            if (!add)
                continue;

            reinterpret_cast<HandleTextFn>(FunctionTable[EntryBaseFolder])(ZipHandle, BaseFolder ? BaseFolder : "");
            reinterpret_cast<HandleTextFn>(FunctionTable[EntryName])(ZipHandle, SearchData.cFileName);
            LastResult = reinterpret_cast<HandleResultFn>(FunctionTable[EntryAdd])(ZipHandle);
            FillErrorText();
            // A fresh handle for whatever comes next.
            ReleaseZipHandle();
            NewZipHandle();
            if (ZipHandle)
                reinterpret_cast<HandleTextFn>(FunctionTable[EntryBindArchive])(ZipHandle,
                                                                                ArchivePath ? ArchivePath : "");
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
                FileTimeToLocalFileTime(&SearchData.ftLastWriteTime, &LocalFileTime);
                ItemTime = ItemLocalTime();
                extract = TargetIsReplaced(rule, SearchData.nFileSizeLow, LocalFileTime, ItemSize(), ItemTime);
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
