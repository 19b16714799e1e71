// The path mapping, files, folders and the file search.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {
std::string Map(const char *windowsPath) {
    char posix[PATH_MAX];
    if (!KestruneMapPath(windowsPath, posix, sizeof posix))
        return "<failed>";
    return posix;
}

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
    HANDLE file = CreateFileA(windowsPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
} // namespace

TEST(Paths, DrivePathsMapUnderTheRoot) {
    TestRoot root;
    EXPECT_EQ(Map("C:\\Data\\raw.txt"), root.Path() + "/c/Data/raw.txt");
    EXPECT_EQ(Map("d:/x"), root.Path() + "/d/x");
    EXPECT_EQ(Map("C:"), root.Path() + "/c");
    EXPECT_EQ(Map("\\Logs\\a.log"), root.Path() + "/c/Logs/a.log");
    EXPECT_EQ(Map("sub\\file.txt"), "sub/file.txt");
    EXPECT_EQ(Map("/tmp/already/posix"), "/tmp/already/posix");
    EXPECT_EQ(Map("\\\\.\\COM1"), "<failed>");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(Map(("C:\\" + std::string(300, 'a')).c_str()), "<failed>");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    char small[8];
    EXPECT_FALSE(KestruneMapPath("C:\\Data", small, sizeof small));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    // The root is read on every call.
    setenv("KESTRUNE_ROOT", "/elsewhere", 1);
    EXPECT_EQ(Map("E:\\f"), "/elsewhere/e/f");
    setenv("KESTRUNE_ROOT", root.Path().c_str(), 1);
}

TEST(Folders, CreateReportsExistingAndMissingParents) {
    TestRoot root;
    EXPECT_TRUE(CreateDirectoryA("C:\\Data", nullptr)); // the drive exists from the start
    EXPECT_FALSE(CreateDirectoryA("C:\\Data", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA("C:\\Missing\\Sub", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\Data"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\Data\\none.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\Missing\\none.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    Write(root.Posix("c/Data/f.txt"), "x");
    EXPECT_FALSE(RemoveDirectoryA("C:\\Data"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(DeleteFileA("C:\\Data\\f.txt"));
    EXPECT_FALSE(DeleteFileA("C:\\Data\\f.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA("C:\\Data"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(RemoveDirectoryA("C:\\Data"));
}

TEST(Files, CreateDispositionsReadWriteAndSize) {
    TestRoot root;
    HANDLE file = CreateFileA("C:\\a.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "hello\r\n", 7, &written, nullptr));
    EXPECT_EQ(written, 7u);
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(file, &high), 7u);
    EXPECT_EQ(high, 0u);
    EXPECT_TRUE(FlushFileBuffers(file));
    CloseHandle(file);

    EXPECT_EQ(CreateFileA("C:\\a.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    file = CreateFileA("C:\\a.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    char buffer[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "hello\r\n");
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u); // end of file
    CloseHandle(file);
    file = CreateFileA("C:\\a.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);
    CloseHandle(file);
    file = CreateFileA("C:\\new.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(file);

    EXPECT_EQ(CreateFileA("C:\\none.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\no\\none.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileA("C:\\a.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
}

TEST(Files, FilePointerAndEndOfFileCutBackAnAppend) {
    TestRoot root;
    HANDLE file = CreateFileA("C:\\cut.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "one\r\n", 5, &written, nullptr));
    CloseHandle(file);

    // Append at the end, then cut the file back to its size before the append.
    file = CreateFileA("C:\\cut.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
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
    file = CreateFileA("C:\\cut.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetEndOfFile(file));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(file);
    EXPECT_EQ(Read(root.Posix("c/cut.txt")), "one\r\ntwo\r\n");
}

TEST(Files, SharedAppendOpenWritesBinary) {
    TestRoot root;
    for (int i = 0; i < 2; ++i) {
        FILE *log = _fsopen("C:\\26342.log", "ab", _SH_DENYNO);
        ASSERT_NE(log, nullptr);
        FILE *reader = _fsopen("C:\\26342.log", "rb", _SH_DENYNO); // others may read meanwhile
        EXPECT_NE(reader, nullptr);
        fputs("line\r\n", log);
        fclose(log);
        if (reader)
            fclose(reader);
    }
    EXPECT_EQ(Read(root.Posix("c/26342.log")), "line\r\nline\r\n");
    EXPECT_EQ(_fsopen("C:\\missing\\x.log", "rb", _SH_DENYNO), nullptr);
}

TEST(Files, CopyKeepsTheTimeAndRespectsFailIfExists) {
    TestRoot root;
    Write(root.Posix("c/src.txt"), "source");
    SetWriteTime("C:\\src.txt", 132000000000000000ULL);
    EXPECT_TRUE(CopyFileA("C:\\src.txt", "C:\\dst.txt", TRUE));
    EXPECT_EQ(Read(root.Posix("c/dst.txt")), "source");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("C:\\dst.txt", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ((ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime,
              132000000000000000ULL);

    Write(root.Posix("c/dst.txt"), "older");
    EXPECT_FALSE(CopyFileA("C:\\src.txt", "C:\\dst.txt", TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(Read(root.Posix("c/dst.txt")), "older");
    EXPECT_TRUE(CopyFileA("C:\\src.txt", "C:\\dst.txt", FALSE));
    EXPECT_EQ(Read(root.Posix("c/dst.txt")), "source");
    // Onto itself: refused, and the file keeps its content.
    EXPECT_FALSE(CopyFileA("C:\\src.txt", "C:\\src.txt", FALSE));
    EXPECT_EQ(Read(root.Posix("c/src.txt")), "source");
    EXPECT_FALSE(CopyFileA("C:\\none.txt", "C:\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(Files, MoveNeverReplaces) {
    TestRoot root;
    Write(root.Posix("c/a.txt"), "a");
    Write(root.Posix("c/b.txt"), "b");
    EXPECT_FALSE(MoveFileA("C:\\a.txt", "C:\\b.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Read(root.Posix("c/b.txt")), "b");
    EXPECT_TRUE(MoveFileA("C:\\a.txt", "C:\\c.txt"));
    EXPECT_EQ(Read(root.Posix("c/c.txt")), "a");
    EXPECT_EQ(GetFileAttributesA("C:\\a.txt"), INVALID_FILE_ATTRIBUTES);
}

TEST(FileSearch, WildcardsAreCaseInsensitiveAndOrdered) {
    TestRoot root;
    ASSERT_TRUE(CreateDirectoryA("C:\\Data", nullptr));
    ASSERT_TRUE(CreateDirectoryA("C:\\Data\\Sub", nullptr));
    for (const char *name : {"lab001_raw.txt", "LAB002_RAW.TXT", "lab003_stat.txt", "noext", "lab01.txt"})
        Write(root.Posix(std::string("c/Data/") + name), "12345");
    EXPECT_EQ(Search("C:\\Data\\lab*_raw.txt"), (std::vector<std::string>{"lab001_raw.txt", "LAB002_RAW.TXT"}));
    EXPECT_EQ(Search("C:\\Data\\LAB00?_*.TXT"),
              (std::vector<std::string>{"lab001_raw.txt", "LAB002_RAW.TXT", "lab003_stat.txt"}));
    EXPECT_EQ(Search("C:\\Data\\*."), (std::vector<std::string>{".", "..", "noext", "Sub"}));
    EXPECT_EQ(Search("C:\\Data\\*").size(), 8u); // ".", "..", five files, Sub
    EXPECT_EQ(Search("C:\\Data\\*.*"), Search("C:\\Data\\*"));
    EXPECT_EQ(Search("C:\\Data\\*")[0], ".");
    // No "." and ".." at a drive's root.
    EXPECT_EQ(Search("C:\\*"), (std::vector<std::string>{"Data"}));

    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirstFileA("C:\\Data\\*.zip", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA("C:\\Nowhere\\*.txt", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

TEST(FileSearch, ReportsAttributesSizesAndUtcWriteTimes) {
    TestRoot root;
    ASSERT_TRUE(CreateDirectoryA("C:\\Data", nullptr));
    Write(root.Posix("c/Data/small.txt"), "12345");
    SetWriteTime("C:\\Data\\small.txt", 130000000000000000ULL);
    // A sparse file over 4 GiB shows the high part of its size.
    ASSERT_EQ(truncate(root.Posix("c/Data/big.bin").c_str(), 0), -1);
    {
        std::ofstream create(root.Posix("c/Data/big.bin"));
    }
    ASSERT_EQ(truncate(root.Posix("c/Data/big.bin").c_str(), 0x100000010LL), 0);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("C:\\Data\\small.txt", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ(data.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, DWORD(130000000000000000ULL >> 32));
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, DWORD(130000000000000000ULL));
    find = FindFirstFileA("C:\\Data\\BIG.BIN", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_STREQ(data.cFileName, "big.bin");
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, 0x10u);
    find = FindFirstFileA("C:\\Data", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ(data.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_DIRECTORY);

    HANDLE file = CreateFileA("C:\\Data\\small.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written;
    ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
    EXPECT_EQ(CompareFileTime(&written, &data.ftLastWriteTime) != 0, true); // the folder's differs
    FILETIME expected = At(130000000000000000ULL);
    EXPECT_EQ(CompareFileTime(&written, &expected), 0);
    CloseHandle(file);
}
