// The archive work on libzip and the POSIX layer.
//
// Archives are ordinary ZIP files: each file is stored deflated under its plain file name,
// with its modification time both as DOS time (local time, read by every zip tool) and in an
// NTFS time field (UTC, 100 ns), which the listing and the extraction prefer because it is
// exact. libzip writes a changed archive into a temporary file and renames it over the old
// one, so a failed add leaves the archive as it was; an extraction likewise writes a temporary
// file beside the target and renames it.
//
// Where the time goes when adding: the deflate level is set explicitly, since libzip's default
// is the slowest level (9), which takes 1.7 times the time of level 7 on our raw data files
// for 0.6 % in size. The file is read once; libzip computes the CRC-32 while it compresses.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/posix/files.h"
#include "platform/posix/time.h"
#include "ziplib/ZipArchive.h"

namespace xz {
namespace {

constexpr uint16_t NtfsExtraField = 0x000a;
constexpr uint64_t FileTimeEpochOffset = 11644473600ull;  // seconds from 1601 to 1970

int FromErrno(int err) {
    switch (err) {
        case ENOENT:
            return FileNotFound;
        case ENOTDIR:
        case EISDIR:
        case EROFS:
        case EIO:
            return WriteError;
        case EACCES:
        case EPERM:
            return AccessDenied;
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            return DiskFull;
        case ENAMETOOLONG:
            return PathTooLong;
        case ENOMEM:
            return OutOfMemory;
        default:
            return WriteError;
    }
}

// libzip's error, with the system error behind it where there is one.
int FromZipError(int zipError, int systemError, bool writing) {
    switch (zipError) {
        case ZIP_ER_OK:
            return Success;
        case ZIP_ER_NOENT:
            return ArchiveNotFound;
        case ZIP_ER_NOZIP:
        case ZIP_ER_INCONS:
        case ZIP_ER_CRC:
        case ZIP_ER_EOF:
        case ZIP_ER_ZLIB:
        case ZIP_ER_COMPRESSED_DATA:
        case ZIP_ER_MULTIDISK:
        case ZIP_ER_COMPNOTSUPP:
        case ZIP_ER_ENCRNOTSUPP:
            return CorruptArchive;
        case ZIP_ER_MEMORY:
            return OutOfMemory;
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
        case ZIP_ER_TELL:
            if (systemError == ENOSPC || systemError == EFBIG || systemError == EDQUOT)
                return DiskFull;
            return ReadError;
        case ZIP_ER_OPEN:
        case ZIP_ER_WRITE:
        case ZIP_ER_CLOSE:
        case ZIP_ER_RENAME:
        case ZIP_ER_TMPOPEN:
        case ZIP_ER_REMOVE:
            if (systemError == ENOENT)
                return writing ? WriteError : ArchiveNotFound;
            return systemError ? FromErrno(systemError) : WriteError;
        default:
            return writing ? WriteError : CorruptArchive;
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
// one (exact), else from the DOS time libzip reads (local time at that instant, two-second
// steps).
bool ItemFileTime(zip_t *archive, zip_uint64_t index, uint64_t *fileTime, bool *exact) {
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
                *exact = true;
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
    *exact = false;
    return true;
}

bool IsFolderName(const char *name) {
    size_t n = name ? std::strlen(name) : 0;
    return n > 0 && (name[n - 1] == '/' || name[n - 1] == '\\');
}

// The archive's file on disk is there but holds nothing: a crash before the first byte was
// written. It counts as an empty archive.
bool IsEmptyFile(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

int OpenArchive(const std::string &windowsPath, int flags, bool writing, zip_t **archive) {
    *archive = nullptr;
    if (windowsPath.empty())
        return NoArchive;
    std::string path;
    if (!MapPath(windowsPath, &path))
        return PathTooLong;
    if (IsEmptyFile(path)) {
        if (!writing)
            return Success;  // no archive object: nothing to list
        flags = (flags & ~ZIP_CHECKCONS) | ZIP_CREATE | ZIP_TRUNCATE;
    }
    int zipError = 0;
    errno = 0;
    *archive = zip_open(path.c_str(), flags, &zipError);
    if (*archive)
        return Success;
    return FromZipError(zipError, errno, writing);
}

// Writes all of the item into the open descriptor.
int CopyItem(zip_t *archive, zip_uint64_t index, int fd) {
    zip_file_t *item = zip_fopen_index(archive, index, 0);
    if (!item)
        return FromZipError(zip_get_error(archive), false);
    static constexpr size_t ChunkSize = 256 * 1024;
    char *buffer = new char[ChunkSize];
    int result = Success;
    for (;;) {
        zip_int64_t n = zip_fread(item, buffer, ChunkSize);
        if (n < 0) {
            result = FromZipError(zip_file_get_error(item), false);
            if (result == Success || result == ReadError)
                result = CorruptArchive;
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
        if (result != Success)
            break;
    }
    delete[] buffer;
    zip_fclose(item);
    return result;
}

}  // namespace

bool LocalCalendarTime(uint64_t fileTime, struct tm *local) {
    const time_t seconds = TimespecFromFileTime(fileTime).tv_sec;
    return KestruneLocalCalendarTime(seconds, local);
}

int ListArchive(const std::string &archivePath, std::vector<ArchiveItem> *items) {
    items->clear();
    zip_t *archive = nullptr;
    int result = OpenArchive(archivePath, ZIP_RDONLY | ZIP_CHECKCONS, false, &archive);
    if (result != Success || !archive)
        return result;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const zip_uint64_t index = static_cast<zip_uint64_t>(i);
        ArchiveItem item;
        const char *name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
        item.Name = name ? name : "";
        item.IsFolder = IsFolderName(name);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive, index, 0, &st) == 0) {
            if (st.valid & ZIP_STAT_SIZE)
                item.Size = st.size;
            if (st.valid & ZIP_STAT_CRC)
                item.Crc = st.crc;
        }
        item.HasTime = ItemFileTime(archive, index, &item.FileTime, &item.ExactTime);
        items->push_back(item);
    }
    zip_discard(archive);
    return Success;
}

int AddToArchive(const std::string &archivePath, const std::string &windowsSource,
                 const std::string &itemName) {
    std::string source;
    if (!MapPath(windowsSource, &source))
        return PathTooLong;
    FILE *file = std::fopen(source.c_str(), "rb");
    if (!file)
        return errno == ENOENT || errno == ENOTDIR ? FileNotFound : FromErrno(errno);
    struct stat st;
    if (fstat(fileno(file), &st) != 0) {
        int err = errno;
        std::fclose(file);
        return FromErrno(err);
    }
    if (!S_ISREG(st.st_mode)) {
        std::fclose(file);
        return NotAFile;
    }

    zip_t *archive = nullptr;
    int result = OpenArchive(archivePath, ZIP_CREATE | ZIP_CHECKCONS, true, &archive);
    if (result != Success) {
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
    PutLE64(ntfs + 8, FileTimeFromTimespec(st.st_mtim));
    PutLE64(ntfs + 16, FileTimeFromTimespec(st.st_atim));
    PutLE64(ntfs + 24, FileTimeFromTimespec(st.st_ctim));
    zip_file_extra_field_delete_by_id(archive, at, NtfsExtraField, ZIP_EXTRA_FIELD_ALL,
                                      ZIP_FL_LOCAL | ZIP_FL_CENTRAL);
    if (zip_set_file_compression(archive, at, ZIP_CM_DEFLATE, DeflateLevel) != 0 ||
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
        return result == Success ? WriteError : result;
    }
    return Success;
}

int ExtractFromArchive(const std::string &archivePath, const std::string &itemName,
                       const std::string &windowsDestination, const std::string &fileName) {
    std::string destination;
    if (!MapPath(windowsDestination, &destination))
        return PathTooLong;
    struct stat st;
    if (stat(destination.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? DestinationNotFound : FromErrno(errno);
    if (!S_ISDIR(st.st_mode))
        return DestinationNotFound;

    zip_t *archive = nullptr;
    int result = OpenArchive(archivePath, ZIP_RDONLY | ZIP_CHECKCONS, false, &archive);
    if (result != Success)
        return result;
    if (!archive)
        return ItemNotFound;  // an empty archive
    // The program names items with backslashes between folder parts; the archive stores "/".
    std::string stored = itemName;
    for (char &c : stored)
        if (c == '\\')
            c = '/';
    zip_int64_t index = zip_name_locate(archive, stored.c_str(), ZIP_FL_ENC_RAW);
    if (index < 0)
        index = zip_name_locate(archive, itemName.c_str(), ZIP_FL_ENC_RAW);
    if (index < 0) {
        zip_discard(archive);
        return ItemNotFound;
    }
    zip_uint64_t at = static_cast<zip_uint64_t>(index);
    if (IsFolderName(zip_get_name(archive, at, ZIP_FL_ENC_RAW))) {
        zip_discard(archive);
        return Success;
    }

    const std::string folder = destination + (destination.back() == '/' ? "" : "/");
    std::string target = folder + fileName;
    std::string temporary = folder + ".xz-extract-XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        result = FromErrno(errno);
        zip_discard(archive);
        return result;
    }
    result = CopyItem(archive, at, fd);
    uint64_t fileTime = 0;
    bool exact = false;
    bool haveTime = result == Success && ItemFileTime(archive, at, &fileTime, &exact);
    zip_discard(archive);
    if (result == Success && fchmod(fd, 0644) != 0)
        result = FromErrno(errno);
    if (result == Success && haveTime) {
        struct timespec times[2];
        times[0] = times[1] = TimespecFromFileTime(fileTime);
        if (futimens(fd, times) != 0)
            result = FromErrno(errno);
    }
    if (close(fd) != 0 && result == Success)
        result = FromErrno(errno);
    if (result == Success && rename(temporary.c_str(), target.c_str()) != 0)
        result = FromErrno(errno);
    if (result != Success)
        unlink(temporary.c_str());
    return result;
}

}  // namespace xz
