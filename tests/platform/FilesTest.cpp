// The path mapping, files, folders and the file search.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {
void Write(const std::string &posixPath, const std::string &content) {
    std::filesystem::create_directories(std::filesystem::path(posixPath).parent_path());
    std::ofstream(posixPath, std::ios::binary) << content;
}

std::string Read(const std::string &posixPath) {
    std::ifstream in(posixPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

FILETIME At(ULONGLONG ticks) {
    FILETIME ft;
    ft.dwLowDateTime = DWORD(ticks);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    return ft;
}

void SetWriteTime(const char *windowsPath, ULONGLONG ticks) {
    HANDLE file =
        CreateFileA(windowsPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME ft = At(ticks);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &ft));
    CloseHandle(file);
}

std::vector<std::string> Search(const char *pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern, &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(data.cFileName);
    while (FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    FindClose(find);
    return names;
}
}  // namespace

TEST(Folders, CreateReportsExistingAndMissingParents) {
    TestRoot root;
    EXPECT_TRUE(
        CreateDirectoryA(root.Drive("C:\\Data").c_str(), nullptr));  // the drive exists from the start
    EXPECT_FALSE(CreateDirectoryA(root.Drive("C:\\Data").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA(root.Drive("C:\\Missing\\Sub").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(root.Drive("C:\\Data").c_str()), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA(root.Drive("C:\\Data\\none.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(root.Drive("C:\\Missing\\none.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    Write(root.Posix("c/Data/f.txt"), "x");
    EXPECT_FALSE(RemoveDirectoryA(root.Drive("C:\\Data").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(DeleteFileA(root.Drive("C:\\Data\\f.txt").c_str()));
    EXPECT_FALSE(DeleteFileA(root.Drive("C:\\Data\\f.txt").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA(root.Drive("C:\\Data").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(RemoveDirectoryA(root.Drive("C:\\Data").c_str()));
}

TEST(Files, CreateDispositionsReadWriteAndSize) {
    TestRoot root;
    HANDLE file = CreateFileA(root.Drive("C:\\a.bin").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "hello\r\n", 7, &written, nullptr));
    EXPECT_EQ(written, 7u);
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(file, &high), 7u);
    EXPECT_EQ(high, 0u);
    EXPECT_TRUE(FlushFileBuffers(file));
    CloseHandle(file);

    EXPECT_EQ(CreateFileA(root.Drive("C:\\a.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    file = CreateFileA(root.Drive("C:\\a.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       0, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    char buffer[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "hello\r\n");
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);  // end of file
    CloseHandle(file);
    file = CreateFileA(root.Drive("C:\\a.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);
    CloseHandle(file);
    file =
        CreateFileA(root.Drive("C:\\new.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(file);

    EXPECT_EQ(
        CreateFileA(root.Drive("C:\\none.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA(root.Drive("C:\\no\\none.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileA(root.Drive("C:\\").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileA(root.Drive("C:\\a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
}

TEST(Files, FilePointerAndEndOfFileCutBackAnAppend) {
    TestRoot root;
    HANDLE file =
        CreateFileA(root.Drive("C:\\cut.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "one\r\n", 5, &written, nullptr));
    CloseHandle(file);

    // Append at the end, then cut the file back to its size before the append.
    file = CreateFileA(root.Drive("C:\\cut.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size = {}, zero = {}, end = {};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 5);
    ASSERT_TRUE(SetFilePointerEx(file, zero, &end, FILE_END));
    EXPECT_EQ(end.QuadPart, 5);
    ASSERT_TRUE(WriteFile(file, "two, torn", 9, &written, nullptr));
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    LARGE_INTEGER after = {};
    ASSERT_TRUE(GetFileSizeEx(file, &after));
    EXPECT_EQ(after.QuadPart, 5);

    // Moving before the start fails and leaves the pointer where it was.
    LARGE_INTEGER back = {}, current = {};
    back.QuadPart = -6;
    EXPECT_FALSE(SetFilePointerEx(file, back, nullptr, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    ASSERT_TRUE(SetFilePointerEx(file, zero, &current, FILE_CURRENT));
    EXPECT_EQ(current.QuadPart, 5);
    ASSERT_TRUE(WriteFile(file, "two\r\n", 5, &written, nullptr));
    CloseHandle(file);
    EXPECT_EQ(Read(root.Posix("c/cut.txt")), "one\r\ntwo\r\n");

    // A handle opened for reading cannot change the file's end.
    file = CreateFileA(root.Drive("C:\\cut.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetEndOfFile(file));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(file);
    EXPECT_EQ(Read(root.Posix("c/cut.txt")), "one\r\ntwo\r\n");
}

TEST(Files, SharedAppendOpenWritesBinary) {
    TestRoot root;
    for (int i = 0; i < 2; ++i) {
        FILE *log = _fsopen(root.Drive("C:\\26342.log").c_str(), "ab", _SH_DENYNO);
        ASSERT_NE(log, nullptr);
        FILE *reader =
            _fsopen(root.Drive("C:\\26342.log").c_str(), "rb", _SH_DENYNO);  // others may read meanwhile
        EXPECT_NE(reader, nullptr);
        fputs("line\r\n", log);
        fclose(log);
        if (reader)
            fclose(reader);
    }
    EXPECT_EQ(Read(root.Posix("c/26342.log")), "line\r\nline\r\n");
    EXPECT_EQ(_fsopen(root.Drive("C:\\missing\\x.log").c_str(), "rb", _SH_DENYNO), nullptr);
}

TEST(Files, CopyKeepsTheTimeAndRespectsFailIfExists) {
    TestRoot root;
    Write(root.Posix("c/src.txt"), "source");
    SetWriteTime(root.Drive("C:\\src.txt").c_str(), 132000000000000000ULL);
    EXPECT_TRUE(CopyFileA(root.Drive("C:\\src.txt").c_str(), root.Drive("C:\\dst.txt").c_str(), TRUE));
    EXPECT_EQ(Read(root.Posix("c/dst.txt")), "source");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(root.Drive("C:\\dst.txt").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ((ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime,
              132000000000000000ULL);

    Write(root.Posix("c/dst.txt"), "older");
    EXPECT_FALSE(CopyFileA(root.Drive("C:\\src.txt").c_str(), root.Drive("C:\\dst.txt").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(Read(root.Posix("c/dst.txt")), "older");
    EXPECT_TRUE(CopyFileA(root.Drive("C:\\src.txt").c_str(), root.Drive("C:\\dst.txt").c_str(), FALSE));
    EXPECT_EQ(Read(root.Posix("c/dst.txt")), "source");
    // Onto itself: refused, and the file keeps its content.
    EXPECT_FALSE(CopyFileA(root.Drive("C:\\src.txt").c_str(), root.Drive("C:\\src.txt").c_str(), FALSE));
    EXPECT_EQ(Read(root.Posix("c/src.txt")), "source");
    EXPECT_FALSE(CopyFileA(root.Drive("C:\\none.txt").c_str(), root.Drive("C:\\x.txt").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(Files, MoveNeverReplaces) {
    TestRoot root;
    Write(root.Posix("c/a.txt"), "a");
    Write(root.Posix("c/b.txt"), "b");
    EXPECT_FALSE(MoveFileA(root.Drive("C:\\a.txt").c_str(), root.Drive("C:\\b.txt").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Read(root.Posix("c/b.txt")), "b");
    EXPECT_TRUE(MoveFileA(root.Drive("C:\\a.txt").c_str(), root.Drive("C:\\c.txt").c_str()));
    EXPECT_EQ(Read(root.Posix("c/c.txt")), "a");
    EXPECT_EQ(GetFileAttributesA(root.Drive("C:\\a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Files, MoveExReplacesAFileOnlyWhenAsked) {
    TestRoot root;
    Write(root.Posix("c/a.txt"), "a");
    Write(root.Posix("c/b.txt"), "b");
    EXPECT_FALSE(MoveFileExA(root.Drive("C:\\a.txt").c_str(), root.Drive("C:\\b.txt").c_str(), 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExA(root.Drive("C:\\a.txt").c_str(), root.Drive("C:\\b.txt").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(Read(root.Posix("c/b.txt")), "a");
    EXPECT_EQ(GetFileAttributesA(root.Drive("C:\\a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    // A folder in the target's place is not replaced; a missing source stays an error.
    ASSERT_TRUE(CreateDirectoryA(root.Drive("C:\\sub").c_str(), nullptr));
    EXPECT_FALSE(MoveFileExA(root.Drive("C:\\b.txt").c_str(), root.Drive("C:\\sub").c_str(),
                             MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Read(root.Posix("c/b.txt")), "a");
    EXPECT_FALSE(MoveFileExA(root.Drive("C:\\none.txt").c_str(), root.Drive("C:\\b.txt").c_str(),
                             MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read(root.Posix("c/b.txt")), "a");
}

TEST(FileSearch, WildcardsAreCaseInsensitiveAndOrdered) {
    TestRoot root;
    ASSERT_TRUE(CreateDirectoryA(root.Drive("C:\\Data").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(root.Drive("C:\\Data\\Sub").c_str(), nullptr));
    for (const char *name : {"lab001_raw.txt", "LAB002_RAW.TXT", "lab003_stat.txt", "noext", "lab01.txt"})
        Write(root.Posix(std::string("c/Data/") + name), "12345");
    EXPECT_EQ(Search(root.Drive("C:\\Data\\lab*_raw.txt").c_str()),
              (std::vector<std::string>{"lab001_raw.txt", "LAB002_RAW.TXT"}));
    EXPECT_EQ(Search(root.Drive("C:\\Data\\LAB00?_*.TXT").c_str()),
              (std::vector<std::string>{"lab001_raw.txt", "LAB002_RAW.TXT", "lab003_stat.txt"}));
    EXPECT_EQ(Search(root.Drive("C:\\Data\\*.").c_str()),
              (std::vector<std::string>{".", "..", "noext", "Sub"}));
    EXPECT_EQ(Search(root.Drive("C:\\Data\\*").c_str()).size(), 8u);  // ".", "..", five files, Sub
    EXPECT_EQ(Search(root.Drive("C:\\Data\\*.*").c_str()), Search(root.Drive("C:\\Data\\*").c_str()));
    EXPECT_EQ(Search(root.Drive("C:\\Data\\*").c_str())[0], ".");
    // No "." and ".." at a drive's root.
    EXPECT_EQ(Search(root.Drive("C:\\*").c_str()), (std::vector<std::string>{"Data"}));

    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirstFileA(root.Drive("C:\\Data\\*.zip").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA(root.Drive("C:\\Nowhere\\*.txt").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

TEST(FileSearch, ReportsAttributesSizesAndUtcWriteTimes) {
    TestRoot root;
    ASSERT_TRUE(CreateDirectoryA(root.Drive("C:\\Data").c_str(), nullptr));
    Write(root.Posix("c/Data/small.txt"), "12345");
    SetWriteTime(root.Drive("C:\\Data\\small.txt").c_str(), 130000000000000000ULL);
    // A sparse file over 4 GiB shows the high part of its size.
    ASSERT_FALSE(std::filesystem::exists(root.Posix("c/Data/big.bin")));
    { std::ofstream create(root.Posix("c/Data/big.bin")); }
    std::filesystem::resize_file(root.Posix("c/Data/big.bin"), 0x100000010ULL);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(root.Drive("C:\\Data\\small.txt").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ(data.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, DWORD(130000000000000000ULL >> 32));
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, DWORD(130000000000000000ULL));
    find = FindFirstFileA(root.Drive("C:\\Data\\BIG.BIN").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_STREQ(data.cFileName, "big.bin");
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, 0x10u);
    find = FindFirstFileA(root.Drive("C:\\Data").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ(data.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_DIRECTORY);

    HANDLE file = CreateFileA(root.Drive("C:\\Data\\small.txt").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    FILETIME written;
    ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
    EXPECT_EQ(CompareFileTime(&written, &data.ftLastWriteTime) != 0, true);  // the folder's differs
    FILETIME expected = At(130000000000000000ULL);
    EXPECT_EQ(CompareFileTime(&written, &expected), 0);
    CloseHandle(file);
}
