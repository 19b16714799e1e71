// Errors on POSIX: the last error is a thread_local DWORD, as Win32 keeps it per thread.
// errno values are mapped onto the Win32 code that stands for them and never leak out.
// FormatMessageA knows the system texts (US English, with the "\r\n" Windows ends them
// with) of the codes this program can meet; it serves FORMAT_MESSAGE_FROM_SYSTEM only.
// Texts with inserts are given verbatim with FORMAT_MESSAGE_IGNORE_INSERTS; expanding
// inserts and line-width formatting fail with ERROR_CALL_NOT_IMPLEMENTED.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/handles_internal.h"

namespace {
thread_local DWORD tlsLastError = 0;

struct MessageText {
    DWORD code;
    const char *text;
};

const MessageText kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33,
     "The process cannot access the file because another process has locked a portion of "
     "the file.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {53, "The network path was not found.\r\n"},
    {80, "The file exists.\r\n"},
    {82, "The directory or file cannot be created.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {110, "The system cannot open the device or file specified.\r\n"},
    {111, "The file name is too long.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {128, "There are no child processes to wait for.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {223, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {298, "Too many posts were made to a semaphore.\r\n"},
    {317,
     "The system cannot find message text for message number 0x%1 in the message file for "
     "%2.\r\n"},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1018,
     "Illegal operation attempted on a registry key that has been marked for "
     "deletion.\r\n"},
    {1053,
     "The service did not respond to the start or control request in a timely "
     "fashion.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1121, "A serial I/O operation completed because the timeout period expired.\r\n"},
    {1131, "A potential deadlock condition has been detected.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1319, "The specified group does not exist.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
};

const char *FindMessage(DWORD code) {
    for (const MessageText &message : kMessages)
        if (message.code == code)
            return message.text;
    return nullptr;
}
}  // namespace

DWORD GetLastError() {
    return tlsLastError;
}

void SetLastError(DWORD dwErrCode) {
    tlsLastError = dwErrCode;
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EBADF:
        case ESRCH:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
        case EFAULT:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EBUSY:
            return ERROR_BUSY;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EINTR:
        case ECANCELED:
            return ERROR_OPERATION_ABORTED;
        case EDEADLK:
            return ERROR_POSSIBLE_DEADLOCK;
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EIO:
            return ERROR_IO_DEVICE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

namespace kestrune {

void SetLastErrorFromErrno(int err) {
    SetLastError(Win32ErrorFromErrno(err));
}

// A missing file is ERROR_FILE_NOT_FOUND when its folder exists, ERROR_PATH_NOT_FOUND when
// the folder itself is missing, as Windows tells them apart.
DWORD Win32ErrorFromErrnoForPath(int err, const char *posixPath) {
    if (err != ENOENT || !posixPath)
        return Win32ErrorFromErrno(err);
    std::string parent(posixPath);
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    size_t slash = parent.find_last_of('/');
    if (slash == std::string::npos)
        return ERROR_FILE_NOT_FOUND;  // relative name in the working folder
    parent.resize(slash == 0 ? 1 : slash);
    struct stat info;
    if (stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

}  // namespace kestrune

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list *Arguments) {
    (void)lpSource;
    (void)Arguments;
    const DWORD known = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    if ((dwFlags &
         (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_MAX_WIDTH_MASK)) != 0 ||
        (dwFlags & ~known) != 0) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The texts are the English ones: neutral or English language ids only.
    const DWORD primary = dwLanguageId & 0x3FF;
    if (primary != LANG_NEUTRAL && primary != 0x09) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char *text = FindMessage(dwMessageId);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if ((dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 && std::strchr(text, '%')) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    const size_t length = std::strlen(text);
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        if (!lpBuffer) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t capacity = length + 1 > nSize ? length + 1 : nSize;
        char *allocated = static_cast<char *>(std::malloc(capacity));
        if (!allocated) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(allocated, text, length + 1);
        *reinterpret_cast<char **>(lpBuffer) = allocated;
        return static_cast<DWORD>(length);
    }
    if (!lpBuffer || nSize < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text, length + 1);
    return static_cast<DWORD>(length);
}

// Buffers from FORMAT_MESSAGE_ALLOCATE_BUFFER come from malloc. Returns NULL on success.
void *LocalFree(void *hMem) {
    std::free(hMem);
    return nullptr;
}
