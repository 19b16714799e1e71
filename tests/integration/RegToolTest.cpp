// tools/reg as another process: it reads what this process wrote and the other way round.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "common/Emulator.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {

const char *const KeyPath = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

class RegTool : public ::testing::Test {
protected:
    // Runs kestrune-reg with the given arguments (shell syntax), feeding input on stdin; gives its
    // standard output and error together, and its exit status.
    int Run(const std::string &arguments, std::string &output, const std::string &input = "") {
        std::string command = "printf '%s' '" + input + "' | " +
                              emulation::ShellPrefix(KESTRUNE_BIN_DIR "/kestrune-reg") +
                              "'" KESTRUNE_BIN_DIR "/kestrune-reg' " + arguments + " 2>&1";
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe)
            return -1;
        output.clear();
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string Key() { return std::string("\"HKLM\\") + KeyPath + "\""; }

    LONG Query(const char *name, DWORD &type, std::string &bytes) {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, KEY_READ, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        char data[256];
        DWORD size = sizeof data;
        rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
        RegCloseKey(key);
        if (rc == ERROR_SUCCESS)
            bytes.assign(data, size);
        return rc;
    }

    TestRoot root;
};

TEST_F(RegTool, QueryShowsWhatTheProgramWrote) {
    HKEY key = nullptr;
    char noClass[1] = "";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, noClass, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    DWORD samples = 90;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "ArchiveSamples", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE *>(&samples), 4));
    const char date[] = "12/08/2026 14:30:05 UTC";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "ArchiveDate", 0, REG_SZ,
                                            reinterpret_cast<const BYTE *>(date), sizeof date));
    RegCloseKey(key);

    std::string out;
    ASSERT_EQ(0, Run("query " + Key(), out));
    EXPECT_EQ(std::string("\nHKEY_LOCAL_MACHINE\\") + KeyPath +
                  "\n"
                  "    ArchiveSamples    REG_DWORD    0x5a\n"
                  "    ArchiveDate    REG_SZ    12/08/2026 14:30:05 UTC\n",
              out);

    ASSERT_EQ(0, Run("query " + Key() + " /v archivesamples", out));
    EXPECT_EQ(
        std::string("\nHKEY_LOCAL_MACHINE\\") + KeyPath + "\n    ArchiveSamples    REG_DWORD    0x5a\n\n",
        out);

    EXPECT_EQ(1, Run("query " + Key() + " /v Missing", out));
    EXPECT_EQ("ERROR: The system was unable to find the specified registry key or value.\n", out);
    EXPECT_EQ(1, Run("query \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing\"", out));
}

TEST_F(RegTool, AddWritesTypedValuesTheProgramReads) {
    std::string out;
    ASSERT_EQ(0, Run("add " + Key() + " /v ArchiveSamples /t REG_DWORD /d 0x5a", out));
    EXPECT_EQ("The operation completed successfully.\n", out);
    ASSERT_EQ(0, Run("add " + Key() + " /v List /t REG_MULTI_SZ /d 'a\\0bc'", out));
    ASSERT_EQ(0, Run("add " + Key() + " /v Bytes /t REG_BINARY /d 00ff7F", out));
    ASSERT_EQ(0, Run("add " + Key() + " /v Text /d 'two words'", out));

    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Query("ArchiveSamples", type, bytes));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(std::string("\x5a\0\0\0", 4), bytes);
    ASSERT_EQ(ERROR_SUCCESS, Query("List", type, bytes));
    EXPECT_EQ(REG_MULTI_SZ, type);
    EXPECT_EQ(std::string("a\0bc\0\0", 6), bytes);
    ASSERT_EQ(ERROR_SUCCESS, Query("Bytes", type, bytes));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ(std::string("\x00\xff\x7f", 3), bytes);
    ASSERT_EQ(ERROR_SUCCESS, Query("Text", type, bytes));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::string("two words\0", 10), bytes);

    EXPECT_EQ(1, Run("add " + Key() + " /v Bad /t REG_DWORD /d 0x1FFFFFFFF", out));
    EXPECT_EQ(1, Run("add " + Key() + " /v Bad /t REG_BINARY /d 0", out));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query("Bad", type, bytes));
}

TEST_F(RegTool, OverwritingAndDeletingAskUnlessForced) {
    std::string out;
    ASSERT_EQ(0, Run("add " + Key() + " /v ArchiveSamples /t REG_DWORD /d 1", out));
    EXPECT_EQ(1, Run("add " + Key() + " /v ArchiveSamples /t REG_DWORD /d 2", out, "n\n"));
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Query("ArchiveSamples", type, bytes));
    EXPECT_EQ(std::string("\x01\0\0\0", 4), bytes);
    EXPECT_EQ(0, Run("add " + Key() + " /v ArchiveSamples /t REG_DWORD /d 3", out, "yes\n"));
    EXPECT_EQ(0, Run("add " + Key() + " /v ArchiveSamples /t REG_DWORD /d 4 /f", out));
    ASSERT_EQ(ERROR_SUCCESS, Query("ArchiveSamples", type, bytes));
    EXPECT_EQ(std::string("\x04\0\0\0", 4), bytes);

    EXPECT_EQ(1, Run("delete " + Key() + " /v ArchiveSamples", out, "no\n"));
    EXPECT_EQ(ERROR_SUCCESS, Query("ArchiveSamples", type, bytes));
    EXPECT_EQ(0, Run("delete " + Key() + " /v ArchiveSamples /f", out));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query("ArchiveSamples", type, bytes));

    // Deleting a key takes its subkeys with it.
    ASSERT_EQ(0, Run("add " + std::string("\"HKLM\\") + KeyPath + "\\Sub\\Deeper\"", out));
    EXPECT_EQ(0, Run("delete \"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\" /f", out));
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &key));
    RegCloseKey(key);
}

}  // namespace
