// The archive work on zlib and the Win32 file API (the real one on Windows, the platform
// layer elsewhere): the ZIP format itself is read and written here.
//
// What is written: each file deflated (raw deflate, DeflateLevel) under its plain name, with
// its modification time as DOS time (local time, two-second steps, read by every zip tool)
// and in an NTFS time field (UTC, 100 ns), which the listing and the extraction prefer because
// it is exact. Sizes and offsets that do not fit 32 bits go into ZIP64 fields: a file of
// 3.75 GiB or more gets a ZIP64 field in its local header from the start (its compressed size
// is known only afterwards), and the archive gets the ZIP64 end records when its entry count,
// directory size or directory offset needs them.
//
// What is read: entries stored or deflated, with ZIP64 sizes and offsets and the ZIP64 end
// records. The central directory is checked against the end record and every local header
// before anything is listed, added or extracted, so a damaged archive is reported as corrupt
// and never rewritten. Extracted data must match the stored size and CRC-32.
//
// Nothing is changed in place. An add writes the kept entries (copied byte for byte) and the
// new one into a temporary file beside the archive and renames it over the archive; an
// extraction writes a temporary file beside the target and renames it. On failure the
// temporary file is deleted and the old archive or target stays as it was.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "ziplib/ZipArchive.h"

namespace xz {
namespace {

constexpr uint32_t LocalHeaderSignature = 0x04034b50;
constexpr uint32_t CentralHeaderSignature = 0x02014b50;
constexpr uint32_t EndSignature = 0x06054b50;
constexpr uint32_t Zip64EndSignature = 0x06064b50;
constexpr uint32_t Zip64LocatorSignature = 0x07064b50;
constexpr size_t LocalHeaderSize = 30;
constexpr size_t CentralHeaderSize = 46;
constexpr size_t EndSize = 22;
constexpr size_t Zip64EndSize = 56;
constexpr size_t Zip64LocatorSize = 20;
constexpr uint16_t Zip64ExtraField = 0x0001;
constexpr uint16_t NtfsExtraField = 0x000a;
constexpr uint16_t MethodStored = 0;
constexpr uint16_t MethodDeflated = 8;
constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t FlagUtf8 = 0x0800;
constexpr uint16_t VersionDeflate = 20;
constexpr uint16_t VersionZip64 = 45;
constexpr uint16_t MadeByUnix = 3 << 8;
constexpr uint32_t RegularFileAttributes = 0100644u << 16;  // a regular file, rw-r--r--
constexpr uint64_t Max32 = 0xFFFFFFFFull;
constexpr uint64_t Max16 = 0xFFFFull;
// Files from this size on get a ZIP64 field in their local header: deflate may make
// incompressible data slightly larger, and the local header is written before the data.
constexpr uint64_t Zip64LocalThreshold = 0xF0000000ull;
constexpr size_t ChunkSize = 256 * 1024;
constexpr uint64_t FileTimeEpochOffset = 11644473600ull;  // seconds from 1601 to 1970

uint16_t Le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t *p) {
    return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
void Put16(std::string *out, uint64_t v) {
    for (int i = 0; i < 2; ++i)
        out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put32(std::string *out, uint64_t v) {
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put64(std::string *out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Set32(std::string *out, size_t at, uint64_t v) {
    for (int i = 0; i < 4; ++i)
        (*out)[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Set64(std::string *out, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        (*out)[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The library's result for a failed Win32 call. A missing file or folder means different
// things depending on what was being opened, so the caller says what it stands for.
int FromWin32(DWORD error, int missing, bool writing) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return missing;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return AccessDenied;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_FILE_TOO_LARGE:
            return DiskFull;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW:
            return PathTooLong;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return OutOfMemory;
        default:
            return writing ? WriteError : ReadError;
    }
}

// An open file handle, closed with the object.
class File {
public:
    File() = default;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() { Close(); }

    // Opens an existing file for reading (shared with readers, writers and renames).
    bool OpenForReading(const std::string &path) {
        handle_ =
            CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }
    // Creates a new file for writing; fails when the name is taken.
    bool CreateNew(const std::string &path) {
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }
    bool Close() {
        if (handle_ == INVALID_HANDLE_VALUE)
            return true;
        BOOL closed = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }
    HANDLE Handle() const { return handle_; }

    bool Size(uint64_t *size) const {
        LARGE_INTEGER value;
        if (!GetFileSizeEx(handle_, &value))
            return false;
        *size = static_cast<uint64_t>(value.QuadPart);
        return true;
    }
    bool Seek(uint64_t offset) {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        return SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) != FALSE;
    }
    // Reads up to n bytes at the file pointer; *got is 0 at the end of the file.
    int Read(void *buffer, size_t n, size_t *got) {
        DWORD read = 0;
        if (!ReadFile(handle_, buffer, static_cast<DWORD>(n), &read, nullptr))
            return FromWin32(GetLastError(), ReadError, false);
        *got = read;
        return Success;
    }
    // Reads exactly n bytes at offset; an archive that ends early is corrupt.
    int ReadAt(uint64_t offset, void *buffer, size_t n) {
        if (!Seek(offset))
            return CorruptArchive;
        uint8_t *p = static_cast<uint8_t *>(buffer);
        while (n > 0) {
            size_t got = 0;
            int result = Read(p, std::min(n, ChunkSize), &got);
            if (result != Success)
                return result;
            if (got == 0)
                return CorruptArchive;
            p += got;
            n -= got;
        }
        return Success;
    }
    int WriteAll(const void *buffer, size_t n) {
        const uint8_t *p = static_cast<const uint8_t *>(buffer);
        while (n > 0) {
            DWORD written = 0;
            DWORD step = static_cast<DWORD>(std::min(n, ChunkSize));
            if (!WriteFile(handle_, p, step, &written, nullptr))
                return FromWin32(GetLastError(), WriteError, true);
            if (written == 0)
                return DiskFull;
            p += written;
            n -= written;
        }
        return Success;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Buffered sequential writing into a new file, counting the position.
class Output {
public:
    explicit Output(File *file) : file_(file) { buffer_.reserve(ChunkSize); }
    uint64_t Position() const { return position_; }
    int Put(const void *data, size_t n) {
        const uint8_t *p = static_cast<const uint8_t *>(data);
        position_ += n;
        if (buffer_.size() + n > ChunkSize) {
            int result = Flush();
            if (result != Success)
                return result;
            if (n >= ChunkSize)
                return file_->WriteAll(p, n);
        }
        buffer_.insert(buffer_.end(), p, p + n);
        return Success;
    }
    int Put(const std::string &bytes) { return Put(bytes.data(), bytes.size()); }
    int Flush() {
        if (buffer_.empty())
            return Success;
        int result = file_->WriteAll(buffer_.data(), buffer_.size());
        buffer_.clear();
        return result;
    }
    // Overwrites bytes already written (a header whose sizes are known only afterwards).
    int Patch(uint64_t offset, const std::string &bytes) {
        int result = Flush();
        if (result != Success)
            return result;
        if (!file_->Seek(offset))
            return FromWin32(GetLastError(), WriteError, true);
        result = file_->WriteAll(bytes.data(), bytes.size());
        if (result != Success)
            return result;
        return file_->Seek(position_) ? Success : FromWin32(GetLastError(), WriteError, true);
    }

private:
    File *file_;
    std::vector<uint8_t> buffer_;
    uint64_t position_ = 0;
};

// One entry of the central directory. Extra holds the entry's extra fields without its
// ZIP64 field, which is rebuilt whenever the entry is written.
struct Entry {
    uint16_t MadeBy = 0;
    uint16_t Needed = 0;
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint16_t DosTime = 0;
    uint16_t DosDate = 0;
    uint32_t Crc = 0;
    uint64_t CompressedSize = 0;
    uint64_t Size = 0;
    uint64_t LocalOffset = 0;
    uint16_t InternalAttributes = 0;
    uint32_t ExternalAttributes = 0;
    std::string Name;
    std::string Extra;
    std::string Comment;
    uint64_t DataOffset = 0;  // where the entry's data start, from its local header
};

struct Directory {
    std::vector<Entry> Entries;
    uint64_t Offset = 0;  // where the central directory starts: the end of the entries' data
    std::string Comment;
};

// The extra field of the given id inside an extra block, or false.
bool FindExtra(const std::string &extra, uint16_t id, std::string *field) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(extra.data());
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        uint16_t tag = Le16(p + at);
        uint16_t size = Le16(p + at + 2);
        if (at + 4 + size > extra.size())
            return false;
        if (tag == id) {
            field->assign(extra, at + 4, size);
            return true;
        }
        at += 4 + size;
    }
    return false;
}

// The extra block without any field of the given id (a malformed tail is dropped).
std::string WithoutExtra(const std::string &extra, uint16_t id) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(extra.data());
    std::string kept;
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        uint16_t size = Le16(p + at + 2);
        if (at + 4 + size > extra.size())
            break;
        if (Le16(p + at) != id)
            kept.append(extra, at, 4 + size);
        at += 4 + size;
    }
    return kept;
}

uint64_t FileTimeFromUnix(time_t seconds) {
    return (static_cast<uint64_t>(seconds) + FileTimeEpochOffset) * 10000000ull;
}

// The entry's modification time as a UTC FILETIME value: from its NTFS time field when it has
// one (exact), else from its DOS time (local time at that instant, two-second steps).
bool EntryFileTime(const Entry &entry, uint64_t *fileTime, bool *exact) {
    std::string ntfs;
    if (FindExtra(entry.Extra, NtfsExtraField, &ntfs) && ntfs.size() >= 4) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(ntfs.data());
        size_t at = 4;  // reserved
        while (at + 4 <= ntfs.size()) {
            unsigned tag = Le16(p + at);
            unsigned size = Le16(p + at + 2);
            at += 4;
            if (at + size > ntfs.size())
                break;
            if (tag == 1 && size >= 24) {
                *fileTime = Le64(p + at);
                *exact = true;
                return true;
            }
            at += size;
        }
    }
    struct tm t = {};
    t.tm_year = ((entry.DosDate >> 9) & 0x7F) + 80;
    t.tm_mon = ((entry.DosDate >> 5) & 0x0F) - 1;
    t.tm_mday = entry.DosDate & 0x1F;
    t.tm_hour = (entry.DosTime >> 11) & 0x1F;
    t.tm_min = (entry.DosTime >> 5) & 0x3F;
    t.tm_sec = (entry.DosTime & 0x1F) * 2;
    t.tm_isdst = -1;
    const time_t seconds = mktime(&t);
    if (seconds == static_cast<time_t>(-1) || seconds < 0)
        return false;
    *fileTime = FileTimeFromUnix(seconds);
    *exact = false;
    return true;
}

void DosTimeOf(uint64_t fileTime, uint16_t *dosTime, uint16_t *dosDate) {
    struct tm local;
    if (!LocalCalendarTime(fileTime, &local) || local.tm_year < 80) {
        *dosTime = 0;
        *dosDate = (1 << 5) | 1;  // 1 January 1980, the earliest DOS date
        return;
    }
    *dosTime = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    *dosDate = static_cast<uint16_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
}

bool IsFolderName(const std::string &name) {
    return !name.empty() && (name.back() == '/' || name.back() == '\\');
}

// Names with bytes beyond ASCII that form valid UTF-8 are marked as UTF-8.
bool NeedsUtf8Flag(const std::string &name) {
    bool beyondAscii = false;
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > name.size())
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80)
                return false;
        beyondAscii = beyondAscii || length > 1;
        i += length;
    }
    return beyondAscii;
}

// What the end records say about the central directory.
struct DirectoryEnd {
    uint64_t EndAt = 0;  // where the end record starts
    uint64_t Disk = 0;
    uint64_t DirectoryDisk = 0;
    uint64_t EntriesOnDisk = 0;
    uint64_t Entries = 0;
    uint64_t DirectorySize = 0;
    uint64_t DirectoryOffset = 0;
    uint64_t DirectoryLimit = 0;  // where the directory must end: the first end record
};

// The end record: the last signature whose comment reaches exactly to the end of the file.
// The archive's comment comes from it.
int ReadEndRecord(File *file, uint64_t fileSize, DirectoryEnd *end, std::string *comment) {
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(fileSize, EndSize + 0xFFFF));
    std::vector<uint8_t> tail(tailSize);
    int result = file->ReadAt(fileSize - tailSize, tail.data(), tailSize);
    if (result != Success)
        return result;
    size_t found = tailSize;
    for (size_t i = tailSize - EndSize + 1; i-- > 0;) {
        if (Le32(&tail[i]) == EndSignature && i + EndSize + Le16(&tail[i + 20]) == tailSize) {
            found = i;
            break;
        }
    }
    if (found == tailSize)
        return CorruptArchive;
    const uint8_t *record = &tail[found];
    end->EndAt = fileSize - tailSize + found;
    end->Disk = Le16(record + 4);
    end->DirectoryDisk = Le16(record + 6);
    end->EntriesOnDisk = Le16(record + 8);
    end->Entries = Le16(record + 10);
    end->DirectorySize = Le32(record + 12);
    end->DirectoryOffset = Le32(record + 16);
    comment->assign(reinterpret_cast<const char *>(record + EndSize), Le16(record + 20));
    end->DirectoryLimit = end->EndAt;
    return Success;
}

// The ZIP64 end record, found through its locator just before the end record. When there is
// one, its values replace those of the end record and the directory must end where it starts.
int ReadZip64EndRecord(File *file, DirectoryEnd *end) {
    const uint64_t endAt = end->EndAt;
    if (endAt < Zip64LocatorSize)
        return Success;
    uint8_t locator[Zip64LocatorSize];
    int result = file->ReadAt(endAt - Zip64LocatorSize, locator, sizeof locator);
    if (result != Success)
        return result;
    if (Le32(locator) != Zip64LocatorSignature)
        return Success;
    const uint64_t zip64At = Le64(locator + 8);
    if (endAt < Zip64LocatorSize + Zip64EndSize || Le32(locator + 4) != 0 || Le32(locator + 16) > 1 ||
        zip64At > endAt - Zip64LocatorSize - Zip64EndSize)
        return CorruptArchive;
    uint8_t record[Zip64EndSize];
    result = file->ReadAt(zip64At, record, sizeof record);
    if (result != Success)
        return result;
    if (Le32(record) != Zip64EndSignature)
        return CorruptArchive;
    end->Disk = Le32(record + 16);
    end->DirectoryDisk = Le32(record + 20);
    end->EntriesOnDisk = Le64(record + 24);
    end->Entries = Le64(record + 32);
    end->DirectorySize = Le64(record + 40);
    end->DirectoryOffset = Le64(record + 48);
    end->DirectoryLimit = zip64At;
    return Success;
}

// The directory is on the one disk there is and fills the space up to the end records, with
// room for at least the stated number of entries.
int CheckDirectoryEnd(const DirectoryEnd &end) {
    if (end.Disk != 0 || end.DirectoryDisk != 0 || end.EntriesOnDisk != end.Entries)
        return CorruptArchive;  // split over several disks: not ours to read
    if (end.DirectoryOffset > end.DirectoryLimit ||
        end.DirectorySize != end.DirectoryLimit - end.DirectoryOffset ||
        end.Entries > end.DirectorySize / CentralHeaderSize)
        return CorruptArchive;
    return Success;
}

// Takes the entry's sizes, local header offset and start disk from its ZIP64 field where
// the central header has them set to all ones (in this order); false when the field lacks one.
bool ApplyZip64Field(const std::string &extra, Entry *entry, uint64_t *startDisk) {
    std::string zip64;
    const bool hasZip64 = FindExtra(extra, Zip64ExtraField, &zip64);
    const uint8_t *z = reinterpret_cast<const uint8_t *>(zip64.data());
    size_t z64At = 0;
    auto wide = [&](uint64_t *value, uint64_t marker, size_t width) {
        if (*value != marker)
            return true;
        if (!hasZip64 || z64At + width > zip64.size())
            return false;
        *value = width == 8 ? Le64(z + z64At) : Le32(z + z64At);
        z64At += width;
        return true;
    };
    return wide(&entry->Size, Max32, 8) && wide(&entry->CompressedSize, Max32, 8) &&
           wide(&entry->LocalOffset, Max32, 8) && wide(startDisk, Max16, 4);
}

// The central header at *at of the directory's bytes, into *entry; *at moves past it.
int ReadCentralEntry(const std::string &central, size_t *at, Entry *entry) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(central.data());
    if (*at + CentralHeaderSize > central.size() || Le32(p + *at) != CentralHeaderSignature)
        return CorruptArchive;
    const uint8_t *h = p + *at;
    entry->MadeBy = Le16(h + 4);
    entry->Needed = Le16(h + 6);
    entry->Flags = Le16(h + 8);
    entry->Method = Le16(h + 10);
    entry->DosTime = Le16(h + 12);
    entry->DosDate = Le16(h + 14);
    entry->Crc = Le32(h + 16);
    entry->CompressedSize = Le32(h + 20);
    entry->Size = Le32(h + 24);
    const size_t nameLength = Le16(h + 28), extraLength = Le16(h + 30), commentLength = Le16(h + 32);
    uint64_t startDisk = Le16(h + 34);
    entry->InternalAttributes = Le16(h + 36);
    entry->ExternalAttributes = Le32(h + 38);
    entry->LocalOffset = Le32(h + 42);
    *at += CentralHeaderSize;
    if (*at + nameLength + extraLength + commentLength > central.size())
        return CorruptArchive;
    entry->Name.assign(central, *at, nameLength);
    const std::string extra(central, *at + nameLength, extraLength);
    entry->Comment.assign(central, *at + nameLength + extraLength, commentLength);
    *at += nameLength + extraLength + commentLength;

    if (!ApplyZip64Field(extra, entry, &startDisk))
        return CorruptArchive;
    if (startDisk != 0)
        return CorruptArchive;
    entry->Extra = WithoutExtra(extra, Zip64ExtraField);
    return Success;
}

// Reads the central directory the end records describe into the directory's entries; its
// headers must fill it exactly.
int ReadCentralEntries(File *file, const DirectoryEnd &end, Directory *directory) {
    std::string central(static_cast<size_t>(end.DirectorySize), '\0');
    int result = file->ReadAt(end.DirectoryOffset, &central[0], central.size());
    if (result != Success)
        return result;
    size_t at = 0;
    directory->Entries.reserve(static_cast<size_t>(end.Entries));
    for (uint64_t i = 0; i < end.Entries; ++i) {
        Entry entry;
        result = ReadCentralEntry(central, &at, &entry);
        if (result != Success)
            return result;
        directory->Entries.push_back(std::move(entry));
    }
    if (at != central.size())
        return CorruptArchive;
    return Success;
}

// The entry's local header is where the directory says, under the same name, and its data
// end before the directory starts. Sets where its data start.
int CheckLocalHeader(File *file, uint64_t directoryOffset, Entry *entry) {
    if (entry->LocalOffset > directoryOffset || directoryOffset - entry->LocalOffset < LocalHeaderSize)
        return CorruptArchive;
    uint8_t local[LocalHeaderSize];
    int result = file->ReadAt(entry->LocalOffset, local, sizeof local);
    if (result != Success)
        return result;
    if (Le32(local) != LocalHeaderSignature)
        return CorruptArchive;
    const uint64_t nameLength = Le16(local + 26), extraLength = Le16(local + 28);
    entry->DataOffset = entry->LocalOffset + LocalHeaderSize + nameLength + extraLength;
    if (nameLength != entry->Name.size() || entry->DataOffset > directoryOffset ||
        entry->CompressedSize > directoryOffset - entry->DataOffset)
        return CorruptArchive;
    std::string name(nameLength, '\0');
    result = file->ReadAt(entry->LocalOffset + LocalHeaderSize, &name[0], name.size());
    if (result != Success)
        return result;
    if (name != entry->Name)
        return CorruptArchive;
    return Success;
}

// Reads and checks the central directory: the end record, the ZIP64 end record when there is
// one, every central header, then every entry's local header, before anything is used. An
// archive file of 0 bytes is an empty archive.
int ReadDirectory(File *file, Directory *directory) {
    directory->Entries.clear();
    uint64_t fileSize = 0;
    if (!file->Size(&fileSize))
        return FromWin32(GetLastError(), ReadError, false);
    directory->Offset = 0;
    if (fileSize == 0)
        return Success;
    if (fileSize < EndSize)
        return CorruptArchive;

    DirectoryEnd end;
    int result = ReadEndRecord(file, fileSize, &end, &directory->Comment);
    if (result != Success)
        return result;
    result = ReadZip64EndRecord(file, &end);
    if (result != Success)
        return result;
    result = CheckDirectoryEnd(end);
    if (result != Success)
        return result;
    result = ReadCentralEntries(file, end, directory);
    if (result != Success)
        return result;
    for (Entry &entry : directory->Entries) {
        result = CheckLocalHeader(file, end.DirectoryOffset, &entry);
        if (result != Success)
            return result;
    }
    directory->Offset = end.DirectoryOffset;
    return Success;
}

// Opens and reads an archive. *exists is false when there is no archive file; a file of
// 0 bytes exists and holds no entries.
int OpenArchive(const std::string &path, File *file, Directory *directory, bool *exists) {
    *exists = false;
    if (path.empty())
        return NoArchive;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FromWin32(GetLastError(), ArchiveNotFound, false);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return CorruptArchive;
    if (!file->OpenForReading(path))
        return FromWin32(GetLastError(), ArchiveNotFound, false);
    *exists = true;
    return ReadDirectory(file, directory);
}

std::string FolderOf(const std::string &path) {
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A new file of a unique name in folder ("" or ending with a separator).
int CreateTemporary(const std::string &folder, const char *kind, File *file, std::string *path) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".xz-%s-%lu-%u", kind,
                      static_cast<unsigned long>(GetCurrentProcessId()), counter++);
        *path = folder + name;
        if (file->CreateNew(*path))
            return Success;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return FromWin32(error, WriteError, true);
    }
    return WriteError;
}

// Copies n bytes of the archive at offset into the output.
int CopyBytes(File *archive, uint64_t offset, uint64_t n, Output *out, std::vector<uint8_t> *buffer) {
    if (!archive->Seek(offset))
        return ReadError;
    while (n > 0) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(n, buffer->size()));
        size_t got = 0;
        int result = archive->Read(buffer->data(), step, &got);
        if (result != Success)
            return result;
        if (got == 0)
            return CorruptArchive;
        result = out->Put(buffer->data(), got);
        if (result != Success)
            return result;
        n -= got;
    }
    return Success;
}

// Deflates the whole source into the output; the CRC-32 and both sizes come back.
int DeflateFile(File *source, Output *out, uint32_t *crc, uint64_t *size, uint64_t *compressedSize) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (deflateInit2(&stream, DeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return OutOfMemory;
    std::vector<uint8_t> in(ChunkSize), compressed(ChunkSize);
    uLong sum = crc32(0L, Z_NULL, 0);
    *size = 0;
    *compressedSize = 0;
    int result = Success;
    bool finished = false;
    while (result == Success && !finished) {
        size_t got = 0;
        result = source->Read(in.data(), in.size(), &got);
        if (result != Success)
            break;
        sum = crc32(sum, in.data(), static_cast<uInt>(got));
        *size += got;
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(got);
        const int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = compressed.data();
            stream.avail_out = static_cast<uInt>(compressed.size());
            const int state = deflate(&stream, flush);
            if (state == Z_STREAM_ERROR) {
                result = WriteError;
                break;
            }
            const size_t produced = compressed.size() - stream.avail_out;
            *compressedSize += produced;
            result = out->Put(compressed.data(), produced);
            if (state == Z_STREAM_END)
                finished = true;
        } while (result == Success && !finished && (stream.avail_out == 0 || stream.avail_in > 0));
    }
    deflateEnd(&stream);
    *crc = static_cast<uint32_t>(sum);
    return result;
}

// The central directory record of an entry, with a ZIP64 field for what does not fit.
std::string CentralRecord(const Entry &entry) {
    std::string zip64;
    if (entry.Size >= Max32)
        Put64(&zip64, entry.Size);
    if (entry.CompressedSize >= Max32)
        Put64(&zip64, entry.CompressedSize);
    if (entry.LocalOffset >= Max32)
        Put64(&zip64, entry.LocalOffset);
    std::string extra;
    if (!zip64.empty()) {
        Put16(&extra, Zip64ExtraField);
        Put16(&extra, zip64.size());
        extra += zip64;
    }
    extra += entry.Extra;
    if (extra.size() > Max16)
        extra.resize(zip64.empty() ? 0 : 4 + zip64.size());
    std::string record;
    Put32(&record, CentralHeaderSignature);
    Put16(&record, entry.MadeBy);
    Put16(&record, zip64.empty() ? entry.Needed : std::max(entry.Needed, VersionZip64));
    Put16(&record, entry.Flags);
    Put16(&record, entry.Method);
    Put16(&record, entry.DosTime);
    Put16(&record, entry.DosDate);
    Put32(&record, entry.Crc);
    Put32(&record, std::min(entry.CompressedSize, Max32));
    Put32(&record, std::min(entry.Size, Max32));
    Put16(&record, entry.Name.size());
    Put16(&record, extra.size());
    Put16(&record, entry.Comment.size());
    Put16(&record, 0);  // disk number start
    Put16(&record, entry.InternalAttributes);
    Put32(&record, entry.ExternalAttributes);
    Put32(&record, std::min(entry.LocalOffset, Max32));
    record += entry.Name;
    record += extra;
    record += entry.Comment;
    return record;
}

// The end of the archive: the ZIP64 end record and its locator when a count, size or
// offset does not fit the classic end record, then the end record itself.
std::string EndRecords(uint64_t entries, uint64_t directoryOffset, uint64_t directorySize,
                       const std::string &comment) {
    std::string end;
    const bool zip64 = entries >= Max16 || directoryOffset >= Max32 || directorySize >= Max32;
    if (zip64) {
        const uint64_t zip64At = directoryOffset + directorySize;
        Put32(&end, Zip64EndSignature);
        Put64(&end, Zip64EndSize - 12);
        Put16(&end, MadeByUnix | VersionZip64);
        Put16(&end, VersionZip64);
        Put32(&end, 0);
        Put32(&end, 0);
        Put64(&end, entries);
        Put64(&end, entries);
        Put64(&end, directorySize);
        Put64(&end, directoryOffset);
        Put32(&end, Zip64LocatorSignature);
        Put32(&end, 0);
        Put64(&end, zip64At);
        Put32(&end, 1);
    }
    Put32(&end, EndSignature);
    Put16(&end, 0);
    Put16(&end, 0);
    Put16(&end, std::min(entries, Max16));
    Put16(&end, std::min(entries, Max16));
    Put32(&end, std::min(directorySize, Max32));
    Put32(&end, std::min(directoryOffset, Max32));
    Put16(&end, comment.size());
    end += comment;
    return end;
}

// The offsets of the entries' local headers in ascending order. Two entries that claim one
// local header make the archive corrupt.
int SortedLocalStarts(const Directory &directory, std::vector<uint64_t> *starts) {
    for (const Entry &entry : directory.Entries)
        starts->push_back(entry.LocalOffset);
    std::sort(starts->begin(), starts->end());
    if (std::adjacent_find(starts->begin(), starts->end()) != starts->end())
        return CorruptArchive;  // two entries claim one local header
    return Success;
}

// Copies every entry not named itemName into the output. Each kept entry spans from its local
// header to the next entry's (or the directory): data descriptors and whatever else belongs to
// it travel along. *central gets the kept entries at their new offsets, *replacedAt the place
// among them of the first entry named itemName (the end when there is none).
int CopyKeptEntries(File *archive, const Directory &directory, const std::string &itemName,
                    const std::vector<uint64_t> &starts, Output *out, std::vector<Entry> *central,
                    size_t *replacedAt) {
    std::vector<uint8_t> buffer(ChunkSize);
    *replacedAt = directory.Entries.size();
    for (const Entry &entry : directory.Entries) {
        if (entry.Name == itemName) {
            if (*replacedAt == directory.Entries.size())
                *replacedAt = central->size();
            continue;
        }
        auto next = std::upper_bound(starts.begin(), starts.end(), entry.LocalOffset);
        const uint64_t spanEnd = next == starts.end() ? directory.Offset : *next;
        Entry moved = entry;
        moved.LocalOffset = out->Position();
        int result = CopyBytes(archive, entry.LocalOffset, spanEnd - entry.LocalOffset, out, &buffer);
        if (result != Success)
            return result;
        central->push_back(std::move(moved));
    }
    if (*replacedAt > central->size())
        *replacedAt = central->size();
    return Success;
}

// The entry of the added file, its local header at localOffset: deflated, its modification
// time as DOS time and all three times in an NTFS time field. Its CRC-32 and sizes come
// once its data are written.
Entry NewEntry(const std::string &itemName, uint64_t sourceSize, uint64_t modified, uint64_t accessed,
               uint64_t created, uint64_t localOffset) {
    Entry added;
    added.MadeBy = MadeByUnix | VersionZip64;
    added.Flags = NeedsUtf8Flag(itemName) ? FlagUtf8 : 0;
    added.Method = MethodDeflated;
    DosTimeOf(modified, &added.DosTime, &added.DosDate);
    added.ExternalAttributes = RegularFileAttributes;
    added.Name = itemName;
    added.LocalOffset = localOffset;
    Put16(&added.Extra, NtfsExtraField);
    Put16(&added.Extra, 32);
    Put32(&added.Extra, 0);  // reserved
    Put16(&added.Extra, 1);  // tag 1: modification, access and creation time
    Put16(&added.Extra, 24);
    Put64(&added.Extra, modified);
    Put64(&added.Extra, accessed);
    Put64(&added.Extra, created);
    added.Needed = sourceSize >= Zip64LocalThreshold ? VersionZip64 : VersionDeflate;
    return added;
}

// The local header of the added entry with its CRC-32 and sizes still 0, and with a ZIP64
// field for both sizes when localZip64.
std::string LocalHeader(const Entry &added, bool localZip64) {
    std::string localExtra;
    if (localZip64) {
        Put16(&localExtra, Zip64ExtraField);
        Put16(&localExtra, 16);
        Put64(&localExtra, 0);  // sizes, filled in by WriteNewEntry
        Put64(&localExtra, 0);
    }
    localExtra += added.Extra;
    std::string local;
    Put32(&local, LocalHeaderSignature);
    Put16(&local, added.Needed);
    Put16(&local, added.Flags);
    Put16(&local, added.Method);
    Put16(&local, added.DosTime);
    Put16(&local, added.DosDate);
    Put32(&local, 0);  // CRC-32, compressed and uncompressed size: filled in by WriteNewEntry
    Put32(&local, localZip64 ? Max32 : 0);
    Put32(&local, localZip64 ? Max32 : 0);
    Put16(&local, added.Name.size());
    Put16(&local, localExtra.size());
    local += added.Name;
    local += localExtra;
    return local;
}

// Writes the added entry's local header and deflated data, then patches the header with the
// CRC-32 and sizes, which are also set in *added.
int WriteNewEntry(File *source, uint64_t sourceSize, Output *out, Entry *added) {
    const bool localZip64 = sourceSize >= Zip64LocalThreshold;
    std::string local = LocalHeader(*added, localZip64);
    int result = out->Put(local);
    if (result != Success)
        return result;
    result = DeflateFile(source, out, &added->Crc, &added->Size, &added->CompressedSize);
    if (result != Success)
        return result;
    if (!localZip64 && (added->Size >= Max32 || added->CompressedSize >= Max32))
        return ReadError;  // the file grew past 4 GiB while it was read; the next add takes it whole
    const size_t nameLength = added->Name.size();
    Set32(&local, 14, added->Crc);
    if (localZip64) {
        Set64(&local, LocalHeaderSize + nameLength + 4, added->Size);
        Set64(&local, LocalHeaderSize + nameLength + 12, added->CompressedSize);
    } else {
        Set32(&local, 18, added->CompressedSize);
        Set32(&local, 22, added->Size);
    }
    return out->Patch(added->LocalOffset, local);
}

// Writes the central directory of the entries, then the end records with the comment, and
// flushes the output.
int WriteDirectoryAndEnd(const std::vector<Entry> &central, const std::string &comment, Output *out) {
    const uint64_t directoryOffset = out->Position();
    for (const Entry &entry : central) {
        int result = out->Put(CentralRecord(entry));
        if (result != Success)
            return result;
    }
    const uint64_t directorySize = out->Position() - directoryOffset;
    int result = out->Put(EndRecords(central.size(), directoryOffset, directorySize, comment));
    if (result != Success)
        return result;
    return out->Flush();
}

// Writes the new archive: the kept entries' local headers and data copied as they are, the
// new entry, then the central directory with the new entry where the replaced one stood.
int WriteArchive(File *archive, const Directory &directory, const std::string &itemName, File *source,
                 uint64_t sourceSize, uint64_t modified, uint64_t accessed, uint64_t created, File *target) {
    Output out(target);
    std::vector<uint64_t> starts;
    int result = SortedLocalStarts(directory, &starts);
    if (result != Success)
        return result;
    std::vector<Entry> central;
    size_t replacedAt = 0;
    result = CopyKeptEntries(archive, directory, itemName, starts, &out, &central, &replacedAt);
    if (result != Success)
        return result;

    Entry added = NewEntry(itemName, sourceSize, modified, accessed, created, out.Position());
    result = WriteNewEntry(source, sourceSize, &out, &added);
    if (result != Success)
        return result;
    central.insert(central.begin() + static_cast<std::ptrdiff_t>(replacedAt), std::move(added));
    return WriteDirectoryAndEnd(central, directory.Comment, &out);
}

// Whether the entry's data can be extracted: not encrypted, stored or deflated, and a stored
// entry's two sizes equal.
bool CanExtract(const Entry &entry) {
    if (entry.Flags & FlagEncrypted)
        return false;
    if (entry.Method != MethodStored && entry.Method != MethodDeflated)
        return false;
    return entry.Method != MethodStored || entry.CompressedSize == entry.Size;
}

// The extracted bytes so far, checked against the entry's size and CRC-32 at the end.
struct Extracted {
    uLong Sum = crc32(0L, Z_NULL, 0);
    uint64_t Written = 0;
};

// Copies a stored entry's size bytes from the archive's file pointer into the output.
int CopyStored(File *archive, uint64_t size, Output *out, std::vector<uint8_t> *in, Extracted *extracted) {
    uint64_t left = size;
    int result = Success;
    while (left > 0 && result == Success) {
        size_t got = 0;
        result = archive->Read(in->data(), static_cast<size_t>(std::min<uint64_t>(left, in->size())), &got);
        if (result != Success)
            break;
        if (got == 0)
            return CorruptArchive;
        extracted->Sum = crc32(extracted->Sum, in->data(), static_cast<uInt>(got));
        left -= got;
        extracted->Written += got;
        result = out->Put(in->data(), got);
    }
    return result;
}

// Reads the next piece of the deflated data (at most *left bytes) into the stream's input.
int ReadDeflated(File *archive, uint64_t *left, std::vector<uint8_t> *in, z_stream *stream) {
    if (*left == 0)
        return CorruptArchive;  // the data end before the deflate stream does
    size_t got = 0;
    int result = archive->Read(in->data(), static_cast<size_t>(std::min<uint64_t>(*left, in->size())), &got);
    if (result != Success)
        return result;
    if (got == 0)
        return CorruptArchive;
    *left -= got;
    stream->next_in = in->data();
    stream->avail_in = static_cast<uInt>(got);
    return Success;
}

// Inflates a deflated entry from the archive's file pointer into the output, up to the end of
// its deflate stream; more bytes than the entry's size make it corrupt.
int InflateEntry(File *archive, const Entry &entry, Output *out, std::vector<uint8_t> *in,
                 Extracted *extracted) {
    std::vector<uint8_t> inflated(ChunkSize);
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return OutOfMemory;
    uint64_t left = entry.CompressedSize;
    int result = Success;
    bool ended = false;
    while (result == Success && !ended) {
        if (stream.avail_in == 0) {
            result = ReadDeflated(archive, &left, in, &stream);
            if (result != Success)
                break;
        }
        stream.next_out = inflated.data();
        stream.avail_out = static_cast<uInt>(inflated.size());
        const int state = inflate(&stream, Z_NO_FLUSH);
        if (state == Z_MEM_ERROR) {
            result = OutOfMemory;
            break;
        }
        if (state != Z_OK && state != Z_STREAM_END) {
            result = CorruptArchive;
            break;
        }
        const size_t produced = inflated.size() - stream.avail_out;
        extracted->Sum = crc32(extracted->Sum, inflated.data(), static_cast<uInt>(produced));
        extracted->Written += produced;
        if (extracted->Written > entry.Size) {
            result = CorruptArchive;
            break;
        }
        result = out->Put(inflated.data(), produced);
        ended = state == Z_STREAM_END;
    }
    inflateEnd(&stream);
    return result;
}

// Writes the entry's data, checked against its size and CRC-32, into the output file.
int ExtractData(File *archive, const Entry &entry, File *target) {
    if (!CanExtract(entry))
        return CorruptArchive;
    if (!archive->Seek(entry.DataOffset))
        return ReadError;
    Output out(target);
    std::vector<uint8_t> in(ChunkSize);
    Extracted extracted;
    const int result = entry.Method == MethodStored
                           ? CopyStored(archive, entry.CompressedSize, &out, &in, &extracted)
                           : InflateEntry(archive, entry, &out, &in, &extracted);
    if (result != Success)
        return result;
    if (extracted.Written != entry.Size || static_cast<uint32_t>(extracted.Sum) != entry.Crc)
        return CorruptArchive;
    return out.Flush();
}

uint64_t FromFileTime(const FILETIME &t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t value) {
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(value);
    t.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return t;
}

}  // namespace

bool LocalCalendarTime(uint64_t fileTime, struct tm *local) {
    const time_t seconds =
        static_cast<time_t>(fileTime / 10000000ull) - static_cast<time_t>(FileTimeEpochOffset);
    return KestruneLocalCalendarTime(seconds, local);
}

int ListArchive(const std::string &archivePath, std::vector<ArchiveItem> *items) {
    items->clear();
    File file;
    Directory directory;
    bool exists = false;
    int result = OpenArchive(archivePath, &file, &directory, &exists);
    if (result != Success)
        return result;
    for (const Entry &entry : directory.Entries) {
        ArchiveItem item;
        item.Name = entry.Name;
        item.IsFolder = IsFolderName(entry.Name);
        item.Size = entry.Size;
        item.Crc = entry.Crc;
        item.HasTime = EntryFileTime(entry, &item.FileTime, &item.ExactTime);
        items->push_back(item);
    }
    return Success;
}

int AddToArchive(const std::string &archivePath, const std::string &sourcePath, const std::string &itemName) {
    const DWORD attributes = GetFileAttributesA(sourcePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FromWin32(GetLastError(), FileNotFound, false);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return NotAFile;
    File source;
    if (!source.OpenForReading(sourcePath))
        return FromWin32(GetLastError(), FileNotFound, false);
    uint64_t sourceSize = 0;
    FILETIME created, accessed, modified;
    if (!source.Size(&sourceSize) || !GetFileTime(source.Handle(), &created, &accessed, &modified))
        return FromWin32(GetLastError(), ReadError, false);
    if (itemName.size() > Max16)
        return PathTooLong;

    File archive;
    Directory directory;
    bool exists = false;
    int result = OpenArchive(archivePath, &archive, &directory, &exists);
    if (result == ArchiveNotFound && !exists)
        result = Success;  // a new archive
    if (result != Success)
        return result;

    File target;
    std::string temporary;
    result = CreateTemporary(FolderOf(archivePath), "add", &target, &temporary);
    if (result != Success)
        return result;
    result = WriteArchive(&archive, directory, itemName, &source, sourceSize, FromFileTime(modified),
                          FromFileTime(accessed), FromFileTime(created), &target);
    if (!target.Close() && result == Success)
        result = FromWin32(GetLastError(), WriteError, true);
    archive.Close();
    if (result == Success && !MoveFileExA(temporary.c_str(), archivePath.c_str(), MOVEFILE_REPLACE_EXISTING))
        result = FromWin32(GetLastError(), WriteError, true);
    if (result != Success)
        DeleteFileA(temporary.c_str());
    return result;
}

int ExtractFromArchive(const std::string &archivePath, const std::string &itemName,
                       const std::string &destination, const std::string &fileName) {
    const DWORD attributes = GetFileAttributesA(destination.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FromWin32(GetLastError(), DestinationNotFound, false);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DestinationNotFound;

    File archive;
    Directory directory;
    bool exists = false;
    int result = OpenArchive(archivePath, &archive, &directory, &exists);
    if (result != Success)
        return result;
    // The program names items with backslashes between folder parts; archives store "/".
    std::string stored = itemName;
    std::replace(stored.begin(), stored.end(), '\\', '/');
    const Entry *entry = nullptr;
    for (const std::string &name : {stored, itemName}) {
        for (const Entry &e : directory.Entries) {
            if (e.Name == name) {
                entry = &e;
                break;
            }
        }
        if (entry)
            break;
    }
    if (!entry)
        return ItemNotFound;
    if (IsFolderName(entry->Name))
        return Success;

    const std::string folder =
        destination + (destination.back() == '\\' || destination.back() == '/' ? "" : "\\");
    File target;
    std::string temporary;
    result = CreateTemporary(folder, "extract", &target, &temporary);
    if (result != Success)
        return result;
    result = ExtractData(&archive, *entry, &target);
    uint64_t fileTime = 0;
    bool exact = false;
    if (result == Success && EntryFileTime(*entry, &fileTime, &exact)) {
        const FILETIME time = ToFileTime(fileTime);
        if (!SetFileTime(target.Handle(), nullptr, &time, &time))
            result = FromWin32(GetLastError(), WriteError, true);
    }
    if (!target.Close() && result == Success)
        result = FromWin32(GetLastError(), WriteError, true);
    archive.Close();
    const std::string targetPath = folder + fileName;
    if (result == Success && !MoveFileExA(temporary.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING))
        result = FromWin32(GetLastError(), WriteError, true);
    if (result != Success)
        DeleteFileA(temporary.c_str());
    return result;
}

}  // namespace xz
