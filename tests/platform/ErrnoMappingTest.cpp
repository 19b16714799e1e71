// The POSIX layer's mapping of errno values onto Win32 error codes.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/win32.h"

TEST(LastError, ErrnoMapsOntoWin32Codes) {
    EXPECT_EQ(Win32ErrorFromErrno(ENOENT), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Win32ErrorFromErrno(EACCES), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Win32ErrorFromErrno(EEXIST), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), (DWORD)ERROR_DISK_FULL);
    EXPECT_EQ(Win32ErrorFromErrno(EBADF), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(Win32ErrorFromErrno(EINVAL), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Win32ErrorFromErrno(ENOTEMPTY), (DWORD)ERROR_DIR_NOT_EMPTY);
    // An errno without a counterpart still becomes a Win32 code, never the raw value.
    EXPECT_EQ(Win32ErrorFromErrno(EPROTO), (DWORD)ERROR_GEN_FAILURE);
}
