// The archive work behind the library's function table (XceedZip.cpp): listing an archive,
// adding one file, extracting one item. The table keeps handles, names and the item record;
// an implementation of this interface does the reading and writing. ZipArchiveLibzip.cpp is
// the one built on libzip and the POSIX layer (the Linux library); ZipArchiveZlib.cpp reads and
// writes the format itself on zlib and the Win32 file API (the Windows library, and a second
// Linux build that the same tests check).
//
// Paths arrive as Windows paths ("C:\Data\a.zip"); mapping them onto the file system is the
// implementation's business. Item names use "/" between folder parts, as stored in the archive.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace xz {

// Result codes of the library (0 = success). Entry 146 has a text for each.
enum Result : int {
    Success = 0,
    InvalidHandle = 501,
    NoArchive = 502,
    NoFileName = 503,
    ArchiveNotFound = 504,
    CorruptArchive = 505,
    FileNotFound = 506,
    ReadError = 507,
    WriteError = 508,
    DiskFull = 509,
    ItemNotFound = 510,
    DestinationNotFound = 511,
    UnsafeName = 512,
    AccessDenied = 513,
    PathTooLong = 514,
    OutOfMemory = 515,
    NotSupported = 516,
    NotAFile = 517,
};

// Deflate level of added files. zip -6 is the common default; 7 compresses our data files
// slightly better than it at little more cost (see bench/ZipBench.cpp).
constexpr int DeflateLevel = 7;

// One item of an archive as its central directory describes it.
struct ArchiveItem {
    std::string Name;       // as stored, "/" between folder parts
    bool IsFolder = false;  // a folder entry (name ending with "/")
    uint64_t Size = 0;      // uncompressed size
    uint32_t Crc = 0;       // CRC-32 of the uncompressed bytes
    bool HasTime = false;
    uint64_t FileTime = 0;   // modification time, UTC, 100 ns units since 1601
    bool ExactTime = false;  // from the NTFS time field (100 ns), not the DOS time (2 s steps)
};

// The items of an archive in their stored order. An archive file of 0 bytes (left by a crash
// before anything was written) is an empty archive.
int ListArchive(const std::string &archive, std::vector<ArchiveItem> *items);

// Adds the file source under itemName, replacing an item of that name. The archive is created
// when missing; when the add fails the archive is left as it was.
int AddToArchive(const std::string &archive, const std::string &source, const std::string &itemName);

// Writes the item named itemName ("\" or "/" between folder parts) into destinationFolder
// as fileName, with the item's time.
// Nothing is left behind when it fails; an existing file of that name is replaced only by a
// complete copy.
int ExtractFromArchive(const std::string &archive, const std::string &itemName,
                       const std::string &destinationFolder, const std::string &fileName);

// The local calendar time of a UTC FILETIME value, with the offset in force at that instant.
bool LocalCalendarTime(uint64_t fileTime, struct tm *local);

}  // namespace xz
