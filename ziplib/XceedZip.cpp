// The run-time zip library, loaded by the program as "XceedZip.dll" (libXceedZip.so here).
//
// The program reaches it only through two exports: "XceedZipInitDLL", called once after
// loading, and "g_xzFunctions", a table of function pointers called by position. The table
// entries and what they do:
//
//    1  ()                                  shutdown before unloading; nothing to release
//    3  () -> zip handle                    hands out a new zip handle (0 when out of memory)
//    4  (zip)                               releases a zip handle
//   19  (zip, folder)                       base folder of the files to add
//   38  (zip, name)                         the file to add, or the item to extract
//   48  (zip, value)                        an extraction option, kept; items are always extracted
//                                           under their base name whatever its value
//  124  (zip, folder)                       destination folder of an extraction
//  130  (zip, archive)                      binds the handle to an archive file
//  146  (zip, 0, result, text, capacity)    the text for a result code
//  166  (zip) -> result                     extracts the item named by 38
//  167  (zip) -> result                     adds the file named by 38
//  201  (listing)                           ends a listing
//  202  (zip, &listing) -> result           starts a listing of the archive
//  204  (listing, record) -> found          fills the record with the first item
//  206  (listing, record) -> found          fills the record with the next item
//
// Every other entry answers XzNotSupported. Paths arrive as Windows paths and are mapped by
// the platform layer. Archives are ordinary ZIP files written by libzip: each file is stored
// deflated under its plain file name, with its modification time both as DOS time (local
// time, read by every zip tool) and in an NTFS time field (UTC, 100 ns), which the listing
// and the extraction prefer because it is exact. libzip writes a changed archive into a
// temporary file and renames it over the old one, so a failed add leaves the archive as it
// was; an extraction likewise writes a temporary file beside the target and renames it.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "platform/posix/files.h"
#include "platform/posix/types.h"

#define XZ_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Result codes of the library (0 = success). Entry 146 has a text for each.
enum XzResult : int {
    XzSuccess = 0,
    XzInvalidHandle = 501,
    XzNoArchive = 502,
    XzNoFileName = 503,
    XzArchiveNotFound = 504,
    XzCorruptArchive = 505,
    XzFileNotFound = 506,
    XzReadError = 507,
    XzWriteError = 508,
    XzDiskFull = 509,
    XzItemNotFound = 510,
    XzDestinationNotFound = 511,
    XzUnsafeName = 512,
    XzAccessDenied = 513,
    XzPathTooLong = 514,
    XzOutOfMemory = 515,
    XzNotSupported = 516,
    XzNotAFile = 517,
};

struct ResultText {
    int Code;
    const char *Text;
};

const ResultText kResultTexts[] = {
    {XzSuccess, "The operation completed successfully."},
    {XzInvalidHandle, "The zip handle is not valid."},
    {XzNoArchive, "No zip file has been specified."},
    {XzNoFileName, "No file or item name has been specified."},
    {XzArchiveNotFound, "The zip file does not exist."},
    {XzCorruptArchive, "The zip file is corrupt or is not a zip file."},
    {XzFileNotFound, "The file to add could not be found."},
    {XzReadError, "A file could not be read."},
    {XzWriteError, "A file could not be written."},
    {XzDiskFull, "There is not enough space on the disk."},
    {XzItemNotFound, "The item was not found in the zip file."},
    {XzDestinationNotFound, "The destination folder does not exist."},
    {XzUnsafeName, "The item name does not give a file name that can be extracted."},
    {XzAccessDenied, "Access to a file was denied."},
    {XzPathTooLong, "A path is too long."},
    {XzOutOfMemory, "There is not enough memory to complete the operation."},
    {XzNotSupported, "The operation is not supported."},
    {XzNotAFile, "The file to add is a folder."},
};

// Layout of the record the listing fills: the program reads these three fields only, and
// the library never writes beyond RecordSize bytes.
constexpr size_t RecordSize = 1380;
constexpr size_t RecordNameOffset = 8;
constexpr size_t RecordSizeOffset = 1292;
constexpr size_t RecordTimeOffset = 1312;
constexpr size_t RecordNameCapacity = RecordSizeOffset - RecordNameOffset;

constexpr uint32_t HandleMagic = 0x585A4850;   // "XZHP"
constexpr uint32_t ListingMagic = 0x585A4C53;  // "XZLS"
constexpr uint16_t NtfsExtraField = 0x000a;
constexpr uint64_t FileTimeEpochOffset = 11644473600ull;  // seconds from 1601 to 1970

struct ZipHandle {
    uint32_t Magic = HandleMagic;
    std::string Archive;     // Windows path as bound by entry 130
    std::string BaseFolder;  // entry 19
    std::string Name;        // entry 38
    std::string Destination; // entry 124
    int KeepFolders = 0;     // entry 48
};

struct Listing {
    uint32_t Magic = ListingMagic;
    zip_t *Archive = nullptr;
    zip_int64_t Count = 0;
    zip_int64_t Next = 0;
};

ZipHandle *AsHandle(void *zip) {
    ZipHandle *handle = static_cast<ZipHandle *>(zip);
    return handle && handle->Magic == HandleMagic ? handle : nullptr;
}

Listing *AsListing(void *listing) {
    Listing *l = static_cast<Listing *>(listing);
    return l && l->Magic == ListingMagic ? l : nullptr;
}

int FromErrno(int err) {
    switch (err) {
        case ENOENT:
            return XzFileNotFound;
        case ENOTDIR:
        case EISDIR:
        case EROFS:
        case EIO:
            return XzWriteError;
        case EACCES:
        case EPERM:
            return XzAccessDenied;
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            return XzDiskFull;
        case ENAMETOOLONG:
            return XzPathTooLong;
        case ENOMEM:
            return XzOutOfMemory;
        default:
            return XzWriteError;
    }
}

// libzip's error, with the system error behind it where there is one.
int FromZipError(int zipError, int systemError, bool writing) {
    switch (zipError) {
        case ZIP_ER_OK:
            return XzSuccess;
        case ZIP_ER_NOENT:
            return XzArchiveNotFound;
        case ZIP_ER_NOZIP:
        case ZIP_ER_INCONS:
        case ZIP_ER_CRC:
        case ZIP_ER_EOF:
        case ZIP_ER_ZLIB:
        case ZIP_ER_COMPRESSED_DATA:
        case ZIP_ER_MULTIDISK:
        case ZIP_ER_COMPNOTSUPP:
        case ZIP_ER_ENCRNOTSUPP:
            return XzCorruptArchive;
        case ZIP_ER_MEMORY:
            return XzOutOfMemory;
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
        case ZIP_ER_TELL:
            if (systemError == ENOSPC || systemError == EFBIG || systemError == EDQUOT)
                return XzDiskFull;
            return XzReadError;
        case ZIP_ER_OPEN:
        case ZIP_ER_WRITE:
        case ZIP_ER_CLOSE:
        case ZIP_ER_RENAME:
        case ZIP_ER_TMPOPEN:
        case ZIP_ER_REMOVE:
            if (systemError == ENOENT)
                return writing ? XzWriteError : XzArchiveNotFound;
            return systemError ? FromErrno(systemError) : XzWriteError;
        default:
            return writing ? XzWriteError : XzCorruptArchive;
    }
}

int FromZipError(zip_error_t *error, bool writing) {
    return FromZipError(zip_error_code_zip(error), zip_error_code_system(error), writing);
}

bool MapPath(const std::string &windowsPath, std::string *posixPath) {
    char mapped[4096];
    if (!KestruneMapPath(windowsPath.c_str(), mapped, sizeof mapped))
        return false;
    *posixPath = mapped;
    return true;
}

bool IsAbsoluteWindowsPath(const std::string &path) {
    return (path.size() >= 2 && path[1] == ':') || (!path.empty() && path[0] == '\\');
}

std::string BaseName(const std::string &name) {
    size_t cut = name.find_last_of("\\/");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

// Item names are stored with "/" between folder parts; the program sees backslashes.
std::string ToArchiveName(std::string name) {
    for (char &c : name)
        if (c == '\\')
            c = '/';
    return name;
}

uint64_t FileTimeFromTimespec(const struct timespec &t) {
    return (static_cast<uint64_t>(t.tv_sec) + FileTimeEpochOffset) * 10000000ull +
           static_cast<uint64_t>(t.tv_nsec) / 100;
}

struct timespec TimespecFromFileTime(uint64_t fileTime) {
    struct timespec t;
    t.tv_sec = static_cast<time_t>(fileTime / 10000000ull) - static_cast<time_t>(FileTimeEpochOffset);
    t.tv_nsec = static_cast<long>(fileTime % 10000000ull) * 100;
    return t;
}

void PutLE64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLE64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// The item's modification time as a UTC FILETIME value: from its NTFS time field when it has
// one, else from the DOS time libzip reads (local time, two-second steps).
bool ItemFileTime(zip_t *archive, zip_uint64_t index, uint64_t *fileTime) {
    zip_uint16_t length = 0;
    const zip_uint8_t *field =
        zip_file_extra_field_get_by_id(archive, index, NtfsExtraField, 0, &length, ZIP_FL_CENTRAL);
    if (field && length >= 4) {
        size_t at = 4;  // reserved
        while (at + 4 <= length) {
            unsigned tag = field[at] | (field[at + 1] << 8);
            unsigned size = field[at + 2] | (field[at + 3] << 8);
            at += 4;
            if (at + size > length)
                break;
            if (tag == 1 && size >= 24) {
                *fileTime = GetLE64(field + at);
                return true;
            }
            at += size;
        }
    }
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_MTIME))
        return false;
    struct timespec t = {st.mtime, 0};
    *fileTime = FileTimeFromTimespec(t);
    return true;
}

void FillRecord(zip_t *archive, zip_uint64_t index, uint8_t *record) {
    std::memset(record, 0, RecordSize);
    const char *name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    if (name) {
        char *out = reinterpret_cast<char *>(record + RecordNameOffset);
        size_t n = 0;
        for (; name[n] && n + 1 < RecordNameCapacity; ++n)
            out[n] = name[n] == '/' ? '\\' : name[n];
        out[n] = '\0';
    }
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE)) {
        uint32_t size = st.size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(st.size);
        std::memcpy(record + RecordSizeOffset, &size, sizeof size);
    }
    uint64_t fileTime = 0;
    if (ItemFileTime(archive, index, &fileTime)) {
        struct timespec t = TimespecFromFileTime(fileTime);
        struct tm local;
        if (localtime_r(&t.tv_sec, &local)) {
            SYSTEMTIME time;
            time.wYear = static_cast<WORD>(local.tm_year + 1900);
            time.wMonth = static_cast<WORD>(local.tm_mon + 1);
            time.wDayOfWeek = static_cast<WORD>(local.tm_wday);
            time.wDay = static_cast<WORD>(local.tm_mday);
            time.wHour = static_cast<WORD>(local.tm_hour);
            time.wMinute = static_cast<WORD>(local.tm_min);
            time.wSecond = static_cast<WORD>(local.tm_sec);
            time.wMilliseconds = static_cast<WORD>(t.tv_nsec / 1000000);
            std::memcpy(record + RecordTimeOffset, &time, sizeof time);
        }
    }
}

// Whether the item at index is a folder entry; the listing passes over those, since files
// are extracted without their folder parts.
bool IsFolderItem(zip_t *archive, zip_uint64_t index) {
    const char *name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    size_t n = name ? std::strlen(name) : 0;
    return n > 0 && (name[n - 1] == '/' || name[n - 1] == '\\');
}

bool FillFrom(Listing *listing, uint8_t *record) {
    while (listing->Next < listing->Count) {
        zip_uint64_t index = static_cast<zip_uint64_t>(listing->Next++);
        if (IsFolderItem(listing->Archive, index))
            continue;
        FillRecord(listing->Archive, index, record);
        return true;
    }
    return false;
}

int OpenArchive(const ZipHandle *handle, int flags, bool writing, zip_t **archive) {
    if (handle->Archive.empty())
        return XzNoArchive;
    std::string path;
    if (!MapPath(handle->Archive, &path))
        return XzPathTooLong;
    int zipError = 0;
    errno = 0;
    *archive = zip_open(path.c_str(), flags, &zipError);
    if (*archive)
        return XzSuccess;
    return FromZipError(zipError, errno, writing);
}

// ---- Table entries -------------------------------------------------------------------

void WINAPI XzShutdown() {}

void *WINAPI XzNewHandle() { return new (std::nothrow) ZipHandle(); }

void WINAPI XzReleaseHandle(void *zip) {
    if (ZipHandle *handle = AsHandle(zip)) {
        handle->Magic = 0;
        delete handle;
    }
}

void SetText(std::string *field, const char *text) {
    try {
        field->assign(text ? text : "");
    } catch (...) {
        field->clear();
    }
}

void WINAPI XzSetBaseFolder(void *zip, const char *folder) {
    if (ZipHandle *handle = AsHandle(zip))
        SetText(&handle->BaseFolder, folder);
}

void WINAPI XzSetName(void *zip, const char *name) {
    if (ZipHandle *handle = AsHandle(zip))
        SetText(&handle->Name, name);
}

void WINAPI XzSetKeepFolders(void *zip, int value) {
    if (ZipHandle *handle = AsHandle(zip))
        handle->KeepFolders = value;
}

void WINAPI XzSetDestination(void *zip, const char *folder) {
    if (ZipHandle *handle = AsHandle(zip))
        SetText(&handle->Destination, folder);
}

void WINAPI XzBindArchive(void *zip, const char *archive) {
    if (ZipHandle *handle = AsHandle(zip))
        SetText(&handle->Archive, archive);
}

void WINAPI XzResultText(void *, int, int result, char *text, int capacity) {
    if (!text || capacity <= 0)
        return;
    for (const ResultText &entry : kResultTexts) {
        if (entry.Code == result) {
            std::snprintf(text, static_cast<size_t>(capacity), "%s", entry.Text);
            return;
        }
    }
    std::snprintf(text, static_cast<size_t>(capacity), "Unknown zip result code %d.", result);
}

int AddFile(ZipHandle *handle) {
    if (handle->Name.empty())
        return XzNoFileName;
    std::string windowsSource = handle->Name;
    if (!IsAbsoluteWindowsPath(windowsSource) && !handle->BaseFolder.empty()) {
        const std::string &base = handle->BaseFolder;
        windowsSource = base + (base.back() == '\\' ? "" : "\\") + handle->Name;
    }
    std::string source;
    if (!MapPath(windowsSource, &source))
        return XzPathTooLong;
    std::string itemName = BaseName(handle->Name);
    if (itemName.empty() || itemName == "." || itemName == "..")
        return XzNoFileName;

    FILE *file = std::fopen(source.c_str(), "rb");
    if (!file)
        return errno == ENOENT || errno == ENOTDIR ? XzFileNotFound : FromErrno(errno);
    struct stat st;
    if (fstat(fileno(file), &st) != 0) {
        int err = errno;
        std::fclose(file);
        return FromErrno(err);
    }
    if (!S_ISREG(st.st_mode)) {
        std::fclose(file);
        return XzNotAFile;
    }

    zip_t *archive = nullptr;
    int result = OpenArchive(handle, ZIP_CREATE | ZIP_CHECKCONS, true, &archive);
    if (result != XzSuccess) {
        std::fclose(file);
        return result;
    }
    zip_error_t error;
    zip_error_init(&error);
    // The source takes the stream over and closes it with the archive.
    zip_source_t *data = zip_source_filep_create(file, 0, -1, &error);
    if (!data) {
        std::fclose(file);
        result = FromZipError(&error, true);
        zip_error_fini(&error);
        zip_discard(archive);
        return result;
    }
    zip_error_fini(&error);
    zip_int64_t index = zip_file_add(archive, itemName.c_str(), data, ZIP_FL_OVERWRITE | ZIP_FL_ENC_GUESS);
    if (index < 0) {
        zip_source_free(data);
        result = FromZipError(zip_get_error(archive), true);
        zip_discard(archive);
        return result;
    }
    zip_uint64_t at = static_cast<zip_uint64_t>(index);
    uint8_t ntfs[36] = {};
    ntfs[4] = 1;  // tag 1: modification, access and creation time
    ntfs[6] = 24;
    uint64_t modified = FileTimeFromTimespec(st.st_mtim);
    PutLE64(ntfs + 8, modified);
    PutLE64(ntfs + 16, FileTimeFromTimespec(st.st_atim));
    PutLE64(ntfs + 24, FileTimeFromTimespec(st.st_ctim));
    zip_file_extra_field_delete_by_id(archive, at, NtfsExtraField, ZIP_EXTRA_FIELD_ALL,
                                      ZIP_FL_LOCAL | ZIP_FL_CENTRAL);
    if (zip_set_file_compression(archive, at, ZIP_CM_DEFLATE, 0) != 0 ||
        zip_file_set_mtime(archive, at, st.st_mtim.tv_sec, 0) != 0 ||
        zip_file_extra_field_set(archive, at, NtfsExtraField, ZIP_EXTRA_FIELD_NEW, ntfs, sizeof ntfs,
                                 ZIP_FL_LOCAL | ZIP_FL_CENTRAL) != 0 ||
        zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(S_IFREG | (st.st_mode & 0777)) << 16) !=
            0) {
        result = FromZipError(zip_get_error(archive), true);
        zip_discard(archive);
        return result;
    }
    if (zip_close(archive) != 0) {
        result = FromZipError(zip_get_error(archive), true);
        zip_discard(archive);
        return result == XzSuccess ? XzWriteError : result;
    }
    return XzSuccess;
}

int WINAPI XzAdd(void *zip) {
    ZipHandle *handle = AsHandle(zip);
    if (!handle)
        return XzInvalidHandle;
    try {
        return AddFile(handle);
    } catch (const std::bad_alloc &) {
        return XzOutOfMemory;
    }
}

// Writes all of the item into the open descriptor.
int CopyItem(zip_t *archive, zip_uint64_t index, int fd) {
    zip_file_t *item = zip_fopen_index(archive, index, 0);
    if (!item)
        return FromZipError(zip_get_error(archive), false);
    char buffer[65536];
    int result = XzSuccess;
    for (;;) {
        zip_int64_t n = zip_fread(item, buffer, sizeof buffer);
        if (n < 0) {
            result = FromZipError(zip_file_get_error(item), false);
            if (result == XzSuccess || result == XzReadError)
                result = XzCorruptArchive;
            break;
        }
        if (n == 0)
            break;
        const char *p = buffer;
        size_t left = static_cast<size_t>(n);
        while (left > 0) {
            ssize_t written = write(fd, p, left);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                result = FromErrno(errno);
                break;
            }
            p += written;
            left -= static_cast<size_t>(written);
        }
        if (result != XzSuccess)
            break;
    }
    zip_fclose(item);
    return result;
}

int ExtractItem(ZipHandle *handle) {
    if (handle->Name.empty())
        return XzNoFileName;
    if (handle->Destination.empty())
        return XzDestinationNotFound;
    // Only the base name is ever written, so no item name ("..\x", "/etc/x", "C:\x") can
    // reach outside the destination folder.
    std::string base = BaseName(handle->Name);
    if (base.empty() || base == "." || base == "..")
        return XzUnsafeName;

    std::string destination;
    if (!MapPath(handle->Destination, &destination))
        return XzPathTooLong;
    struct stat st;
    if (stat(destination.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? XzDestinationNotFound : FromErrno(errno);
    if (!S_ISDIR(st.st_mode))
        return XzDestinationNotFound;

    zip_t *archive = nullptr;
    int result = OpenArchive(handle, ZIP_RDONLY | ZIP_CHECKCONS, false, &archive);
    if (result != XzSuccess)
        return result;
    zip_int64_t index = zip_name_locate(archive, ToArchiveName(handle->Name).c_str(), ZIP_FL_ENC_RAW);
    if (index < 0)
        index = zip_name_locate(archive, handle->Name.c_str(), ZIP_FL_ENC_RAW);
    if (index < 0) {
        zip_discard(archive);
        return XzItemNotFound;
    }
    zip_uint64_t at = static_cast<zip_uint64_t>(index);
    if (IsFolderItem(archive, at)) {
        zip_discard(archive);
        return XzSuccess;
    }

    std::string target = destination + (destination.back() == '/' ? "" : "/") + base;
    std::string temporary = destination + (destination.back() == '/' ? "" : "/") + ".xz-extract-XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        result = FromErrno(errno);
        zip_discard(archive);
        return result;
    }
    result = CopyItem(archive, at, fd);
    uint64_t fileTime = 0;
    bool haveTime = result == XzSuccess && ItemFileTime(archive, at, &fileTime);
    zip_discard(archive);
    if (result == XzSuccess && fchmod(fd, 0644) != 0)
        result = FromErrno(errno);
    if (result == XzSuccess && haveTime) {
        struct timespec times[2];
        times[0] = times[1] = TimespecFromFileTime(fileTime);
        if (futimens(fd, times) != 0)
            result = FromErrno(errno);
    }
    if (close(fd) != 0 && result == XzSuccess)
        result = FromErrno(errno);
    if (result == XzSuccess && rename(temporary.c_str(), target.c_str()) != 0)
        result = FromErrno(errno);
    if (result != XzSuccess)
        unlink(temporary.c_str());
    return result;
}

int WINAPI XzExtract(void *zip) {
    ZipHandle *handle = AsHandle(zip);
    if (!handle)
        return XzInvalidHandle;
    try {
        return ExtractItem(handle);
    } catch (const std::bad_alloc &) {
        return XzOutOfMemory;
    }
}

void WINAPI XzEndListing(void *listing) {
    if (Listing *l = AsListing(listing)) {
        zip_discard(l->Archive);
        l->Magic = 0;
        delete l;
    }
}

int WINAPI XzStartListing(void *zip, void **listing) {
    ZipHandle *handle = AsHandle(zip);
    if (!handle || !listing)
        return XzInvalidHandle;
    *listing = nullptr;
    zip_t *archive = nullptr;
    int result = OpenArchive(handle, ZIP_RDONLY | ZIP_CHECKCONS, false, &archive);
    if (result != XzSuccess)
        return result;
    Listing *l = new (std::nothrow) Listing();
    if (!l) {
        zip_discard(archive);
        return XzOutOfMemory;
    }
    l->Archive = archive;
    l->Count = zip_get_num_entries(archive, 0);
    *listing = l;
    return XzSuccess;
}

int WINAPI XzFirstItem(void *listing, void *record) {
    Listing *l = AsListing(listing);
    if (!l || !record)
        return 0;
    l->Next = 0;
    return FillFrom(l, static_cast<uint8_t *>(record)) ? 1 : 0;
}

int WINAPI XzNextItem(void *listing, void *record) {
    Listing *l = AsListing(listing);
    if (!l || !record)
        return 0;
    return FillFrom(l, static_cast<uint8_t *>(record)) ? 1 : 0;
}

int WINAPI XzUnsupported() { return XzNotSupported; }

}  // namespace

// The function table, filled at link time (no code runs to set it up, so it is complete
// before anyone can look it up). U marks the entries the library does not offer.
#define E(function) reinterpret_cast<void *>(&function)
#define U E(XzUnsupported)
extern "C" {
__attribute__((visibility("default"))) void *g_xzFunctions[] = {
    /*   0 */ U, E(XzShutdown), U, E(XzNewHandle), E(XzReleaseHandle), U, U, U,
    /*   8 */ U, U, U, U, U, U, U, U,
    /*  16 */ U, U, U, E(XzSetBaseFolder), U, U, U, U,
    /*  24 */ U, U, U, U, U, U, U, U,
    /*  32 */ U, U, U, U, U, U, E(XzSetName), U,
    /*  40 */ U, U, U, U, U, U, U, U,
    /*  48 */ E(XzSetKeepFolders), U, U, U, U, U, U, U,
    /*  56 */ U, U, U, U, U, U, U, U,
    /*  64 */ U, U, U, U, U, U, U, U,
    /*  72 */ U, U, U, U, U, U, U, U,
    /*  80 */ U, U, U, U, U, U, U, U,
    /*  88 */ U, U, U, U, U, U, U, U,
    /*  96 */ U, U, U, U, U, U, U, U,
    /* 104 */ U, U, U, U, U, U, U, U,
    /* 112 */ U, U, U, U, U, U, U, U,
    /* 120 */ U, U, U, U, E(XzSetDestination), U, U, U,
    /* 128 */ U, U, E(XzBindArchive), U, U, U, U, U,
    /* 136 */ U, U, U, U, U, U, U, U,
    /* 144 */ U, U, E(XzResultText), U, U, U, U, U,
    /* 152 */ U, U, U, U, U, U, U, U,
    /* 160 */ U, U, U, U, U, U, E(XzExtract), E(XzAdd),
    /* 168 */ U, U, U, U, U, U, U, U,
    /* 176 */ U, U, U, U, U, U, U, U,
    /* 184 */ U, U, U, U, U, U, U, U,
    /* 192 */ U, U, U, U, U, U, U, U,
    /* 200 */ U, E(XzEndListing), E(XzStartListing), U, E(XzFirstItem), U, E(XzNextItem), U,
};
}
#undef U
#undef E

// Called once after loading; the library keeps no global state to set up.
XZ_EXPORT void WINAPI XceedZipInitDLL() {}
