// Per-thread last error and the system message texts.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

TEST(LastError, IsKeptPerThread) {
    DWORD seenByOther = 12345;
    auto body = [](void *seen) -> unsigned {
        *static_cast<DWORD *>(seen) = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    };
    HANDLE other = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, &seenByOther, 0, nullptr));
    ASSERT_NE(other, nullptr);
    // Set after the start and checked after a successful wait, neither of which touches it
    // (a std::thread join may: winpthreads resets it).
    SetLastError(ERROR_ACCESS_DENIED);
    ASSERT_EQ(WaitForSingleObject(other, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(seenByOther, (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(other);
}

namespace {
std::string SystemText(DWORD code) {
    char buffer[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    return std::string(buffer, length);
}
}  // namespace

TEST(FormatMessage, GivesTheWindowsTextsWithTheirLineEnd) {
    EXPECT_EQ(SystemText(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(SystemText(3), "The system cannot find the path specified.\r\n");
    EXPECT_EQ(SystemText(5), "Access is denied.\r\n");
    EXPECT_EQ(SystemText(6), "The handle is invalid.\r\n");
    EXPECT_EQ(SystemText(18), "There are no more files.\r\n");
    EXPECT_EQ(SystemText(32),
              "The process cannot access the file because it is being used by another process.\r\n");
    EXPECT_EQ(SystemText(80), "The file exists.\r\n");
    EXPECT_EQ(SystemText(87), "The parameter is incorrect.\r\n");
    EXPECT_EQ(SystemText(112), "There is not enough space on the disk.\r\n");
    EXPECT_EQ(SystemText(122), "The data area passed to a system call is too small.\r\n");
    EXPECT_EQ(SystemText(183), "Cannot create a file when that file already exists.\r\n");
    EXPECT_EQ(SystemText(206), "The filename or extension is too long.\r\n");
    EXPECT_EQ(SystemText(997), "Overlapped I/O operation is in progress.\r\n");
    // Every code the program can meet has a text.
    for (DWORD code : {0u, 8u, 14u, 39u, 82u, 120u, 123u, 234u, 259u, 267u, 288u})
        EXPECT_FALSE(SystemText(code).empty()) << code;
}

TEST(FormatMessage, FailsForUnknownCodesAndShortBuffers) {
    char buffer[8];
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5100, 0,
                             buffer, sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2, 0,
                             buffer, sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    // Unsupported sources are refused, not faked.
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "x", 0, 0, buffer, sizeof buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
}

TEST(FormatMessage, AllocatesTheBufferWhenAsked) {
    char *text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, length), "Access is denied.\r\n");
    EXPECT_EQ(LocalFree(text), nullptr);
}
