// The run-time zip library, loaded by the program as "XceedZip.dll" (libXceedZip.so on Linux).
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
// Every other entry answers NotSupported (516). The archive work itself (listing, adding,
// extracting) is behind the interface of ZipArchive.h; this file keeps the handles, the names
// and the item record, and does not touch the file system.
//
// The item record: the program reads the name at 8, the 32-bit size at 1292 (clamped to
// 0xFFFFFFFF for items of 4 GiB and more) and the local-time SYSTEMTIME at 1312. Bytes 1328 to
// 1355 carry what a safe comparison needs beyond that, marked by a signature so that the
// program can tell this library's records from others:
//
//   1328  4  signature "XZI1" (0x31495A58 little-endian)
//   1332  4  CRC-32 of the item's uncompressed bytes
//   1336  8  uncompressed size, 64-bit
//   1344  8  modification time, UTC FILETIME (0 when the item has none)
//   1352  4  flags: 1 the time is known, 2 the time is exact (100 ns; else DOS time, 2 s steps)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "ziplib/ZipArchive.h"

// Only the two exports leave the library: marked for export from the DLL on Windows, visible
// from the shared object elsewhere (where everything else is built hidden).
#ifdef _WIN32
#define XZ_EXPORT_DATA __declspec(dllexport)
#else
#define XZ_EXPORT_DATA __attribute__((visibility("default")))
#endif
#define XZ_EXPORT extern "C" XZ_EXPORT_DATA

namespace {

using namespace xz;

struct ResultText {
    int Code;
    const char *Text;
};

const ResultText kResultTexts[] = {
    {Success, "The operation completed successfully."},
    {InvalidHandle, "The zip handle is not valid."},
    {NoArchive, "No zip file has been specified."},
    {NoFileName, "No file or item name has been specified."},
    {ArchiveNotFound, "The zip file does not exist."},
    {CorruptArchive, "The zip file is corrupt or is not a zip file."},
    {FileNotFound, "The file to add could not be found."},
    {ReadError, "A file could not be read."},
    {WriteError, "A file could not be written."},
    {DiskFull, "There is not enough space on the disk."},
    {ItemNotFound, "The item was not found in the zip file."},
    {DestinationNotFound, "The destination folder does not exist."},
    {UnsafeName, "The item name does not give a file name that can be extracted."},
    {AccessDenied, "Access to a file was denied."},
    {PathTooLong, "A path is too long."},
    {OutOfMemory, "There is not enough memory to complete the operation."},
    {NotSupported, "The operation is not supported."},
    {NotAFile, "The file to add is a folder."},
};

constexpr size_t RecordSize = 1380;
constexpr size_t RecordNameOffset = 8;
constexpr size_t RecordSizeOffset = 1292;
constexpr size_t RecordTimeOffset = 1312;
constexpr size_t RecordNameCapacity = RecordSizeOffset - RecordNameOffset;
constexpr size_t RecordInfoOffset = 1328;
constexpr uint32_t RecordInfoSignature = 0x31495A58;  // "XZI1"
constexpr uint32_t RecordTimeKnown = 1;
constexpr uint32_t RecordTimeExact = 2;

constexpr uint32_t HandleMagic = 0x585A4850;   // "XZHP"
constexpr uint32_t ListingMagic = 0x585A4C53;  // "XZLS"

struct ZipHandle {
    uint32_t Magic = HandleMagic;
    std::string Archive;      // Windows path as bound by entry 130
    std::string BaseFolder;   // entry 19
    std::string Name;         // entry 38
    std::string Destination;  // entry 124
    int KeepFolders = 0;      // entry 48
};

struct Listing {
    uint32_t Magic = ListingMagic;
    std::vector<ArchiveItem> Items;
    size_t Next = 0;
};

ZipHandle *AsHandle(void *zip) {
    ZipHandle *handle = static_cast<ZipHandle *>(zip);
    return handle && handle->Magic == HandleMagic ? handle : nullptr;
}

Listing *AsListing(void *listing) {
    Listing *l = static_cast<Listing *>(listing);
    return l && l->Magic == ListingMagic ? l : nullptr;
}

bool IsAbsoluteWindowsPath(const std::string &path) {
    return (path.size() >= 2 && path[1] == ':') || (!path.empty() && path[0] == '\\');
}

std::string BaseName(const std::string &name) {
    size_t cut = name.find_last_of("\\/");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

template <typename T>
void Put(uint8_t *record, size_t offset, T value) {
    std::memcpy(record + offset, &value, sizeof value);
}

void FillRecord(const ArchiveItem &item, uint8_t *record) {
    std::memset(record, 0, RecordSize);
    char *out = reinterpret_cast<char *>(record + RecordNameOffset);
    size_t n = 0;
    for (; n < item.Name.size() && item.Name[n] && n + 1 < RecordNameCapacity; ++n)
        out[n] = item.Name[n] == '/' ? '\\' : item.Name[n];
    out[n] = '\0';
    Put<uint32_t>(record, RecordSizeOffset,
                  item.Size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(item.Size));
    uint32_t flags = 0;
    if (item.HasTime) {
        flags |= RecordTimeKnown | (item.ExactTime ? RecordTimeExact : 0);
        const uint64_t units = item.FileTime;
        struct tm local;
        if (LocalCalendarTime(units, &local)) {
            SYSTEMTIME time;
            time.wYear = static_cast<WORD>(local.tm_year + 1900);
            time.wMonth = static_cast<WORD>(local.tm_mon + 1);
            time.wDayOfWeek = static_cast<WORD>(local.tm_wday);
            time.wDay = static_cast<WORD>(local.tm_mday);
            time.wHour = static_cast<WORD>(local.tm_hour);
            time.wMinute = static_cast<WORD>(local.tm_min);
            time.wSecond = static_cast<WORD>(local.tm_sec);
            time.wMilliseconds = static_cast<WORD>(units % 10000000ull / 10000);
            std::memcpy(record + RecordTimeOffset, &time, sizeof time);
        }
    }
    Put<uint32_t>(record, RecordInfoOffset, RecordInfoSignature);
    Put<uint32_t>(record, RecordInfoOffset + 4, item.Crc);
    Put<uint64_t>(record, RecordInfoOffset + 8, item.Size);
    Put<uint64_t>(record, RecordInfoOffset + 16, item.HasTime ? item.FileTime : 0);
    Put<uint32_t>(record, RecordInfoOffset + 24, flags);
}

// Folder entries are passed over: files are extracted without their folder parts.
bool FillFrom(Listing *listing, uint8_t *record) {
    while (listing->Next < listing->Items.size()) {
        const ArchiveItem &item = listing->Items[listing->Next++];
        if (item.IsFolder)
            continue;
        FillRecord(item, record);
        return true;
    }
    return false;
}

// ---- Table entries -------------------------------------------------------------------

void WINAPI XzShutdown() {}

void *WINAPI XzNewHandle() {
    return new (std::nothrow) ZipHandle();
}

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
    if (handle->Archive.empty())
        return NoArchive;
    if (handle->Name.empty())
        return NoFileName;
    std::string source = handle->Name;
    if (!IsAbsoluteWindowsPath(source) && !handle->BaseFolder.empty()) {
        const std::string &base = handle->BaseFolder;
        source = base + (base.back() == '\\' ? "" : "\\") + handle->Name;
    }
    std::string itemName = BaseName(handle->Name);
    if (itemName.empty() || itemName == "." || itemName == "..")
        return NoFileName;
    return AddToArchive(handle->Archive, source, itemName);
}

int WINAPI XzAdd(void *zip) {
    ZipHandle *handle = AsHandle(zip);
    if (!handle)
        return InvalidHandle;
    try {
        return AddFile(handle);
    } catch (const std::bad_alloc &) {
        return OutOfMemory;
    }
}

int ExtractItem(ZipHandle *handle) {
    if (handle->Archive.empty())
        return NoArchive;
    if (handle->Name.empty())
        return NoFileName;
    if (handle->Destination.empty())
        return DestinationNotFound;
    // Only the base name is ever written, so no item name ("..\x", "/etc/x", "C:\x") can
    // reach outside the destination folder.
    std::string base = BaseName(handle->Name);
    if (base.empty() || base == "." || base == "..")
        return UnsafeName;
    return ExtractFromArchive(handle->Archive, handle->Name, handle->Destination, base);
}

int WINAPI XzExtract(void *zip) {
    ZipHandle *handle = AsHandle(zip);
    if (!handle)
        return InvalidHandle;
    try {
        return ExtractItem(handle);
    } catch (const std::bad_alloc &) {
        return OutOfMemory;
    }
}

void WINAPI XzEndListing(void *listing) {
    if (Listing *l = AsListing(listing)) {
        l->Magic = 0;
        delete l;
    }
}

int WINAPI XzStartListing(void *zip, void **listing) {
    ZipHandle *handle = AsHandle(zip);
    if (!handle || !listing)
        return InvalidHandle;
    *listing = nullptr;
    if (handle->Archive.empty())
        return NoArchive;
    Listing *l = new (std::nothrow) Listing();
    if (!l)
        return OutOfMemory;
    int result;
    try {
        result = ListArchive(handle->Archive, &l->Items);
    } catch (const std::bad_alloc &) {
        result = OutOfMemory;
    }
    if (result != Success) {
        delete l;
        return result;
    }
    *listing = l;
    return Success;
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

int WINAPI XzUnsupported() {
    return NotSupported;
}

}  // namespace

// The function table, filled at link time (no code runs to set it up, so it is complete
// before anyone can look it up). U marks the entries the library does not offer.
#define E(function) reinterpret_cast<void *>(&function)
#define U E(XzUnsupported)
extern "C" {
XZ_EXPORT_DATA void *g_xzFunctions[] = {
    /*   0 */ U,
    E(XzShutdown),
    U,
    E(XzNewHandle),
    E(XzReleaseHandle),
    U,
    U,
    U,
    /*   8 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  16 */ U,
    U,
    U,
    E(XzSetBaseFolder),
    U,
    U,
    U,
    U,
    /*  24 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  32 */ U,
    U,
    U,
    U,
    U,
    U,
    E(XzSetName),
    U,
    /*  40 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  48 */ E(XzSetKeepFolders),
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  56 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  64 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  72 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  80 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  88 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /*  96 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 104 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 112 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 120 */ U,
    U,
    U,
    U,
    E(XzSetDestination),
    U,
    U,
    U,
    /* 128 */ U,
    U,
    E(XzBindArchive),
    U,
    U,
    U,
    U,
    U,
    /* 136 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 144 */ U,
    U,
    E(XzResultText),
    U,
    U,
    U,
    U,
    U,
    /* 152 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 160 */ U,
    U,
    U,
    U,
    U,
    U,
    E(XzExtract),
    E(XzAdd),
    /* 168 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 176 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 184 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 192 */ U,
    U,
    U,
    U,
    U,
    U,
    U,
    U,
    /* 200 */ U,
    E(XzEndListing),
    E(XzStartListing),
    U,
    E(XzFirstItem),
    U,
    E(XzNextItem),
    U,
};
}
#undef U
#undef E

// Called once after loading; the library keeps no global state to set up.
XZ_EXPORT void WINAPI XceedZipInitDLL() {}
