#include "services/WholeAppend.h"

namespace {

// Writes every byte at the file pointer, in chunks a DWORD can count; 0 or the error.
DWORD WriteAll(HANDLE file, const char *bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const size_t rest = size - done;
        const DWORD chunk = rest > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest);
        DWORD written = 0;
        if (!WriteFile(file, bytes + done, chunk, &written, nullptr))
            return GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
        if (written == 0)
            return ERROR_WRITE_FAULT;
        done += written;
    }
    return 0;
}

}  // namespace

DWORD AppendWhole(HANDLE file, const char *path, bool created, const char *text, size_t size,
                  const char *header, size_t headerSize) {
    LARGE_INTEGER before = {}, zero = {};
    if (!GetFileSizeEx(file, &before) || !SetFilePointerEx(file, zero, nullptr, FILE_END)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return error ? error : ERROR_WRITE_FAULT;
    }
    DWORD error = 0;
    if (before.QuadPart == 0 && header != nullptr)
        error = WriteAll(file, header, headerSize);
    if (error == 0)
        error = WriteAll(file, text, size);
    // No torn line stays behind: the file goes back to its size before the write.
    if (error != 0 && SetFilePointerEx(file, before, nullptr, FILE_BEGIN))
        SetEndOfFile(file);
    CloseHandle(file);
    // Nor an empty file that this write created.
    if (error != 0 && created && before.QuadPart == 0 && path != nullptr)
        DeleteFileA(path);
    return error;
}
