// First checks across the layer's core services.
#include <gtest/gtest.h>

#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {
unsigned __stdcall ReturnSeven(void *) { return 7; }
}

TEST(Smoke, EventsThreadsFiles) {
    TestRoot root;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));

    unsigned id = 0;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReturnSeven, nullptr, 0, &id));
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);

    EXPECT_TRUE(CreateDirectoryA("C:\\Data", nullptr));
    FILE *f = _fsopen("C:\\Data\\a.txt", "ab", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    fputs("x\r\n", f);
    fclose(f);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("C:\\Data\\*.TXT", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "a.txt");
    EXPECT_EQ(data.nFileSizeLow, 3u);
    EXPECT_FALSE(FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    FindClose(find);

    HANDLE named = CreateMutexA(nullptr, FALSE, "SmokeMutex");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE again = CreateMutexA(nullptr, FALSE, "SmokeMutex");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(named, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(again));
    CloseHandle(again);
    CloseHandle(named);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "SmokeMutex"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}
