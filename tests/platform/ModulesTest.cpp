// Run-time loaded libraries: LoadLibraryA, GetProcAddress, FreeLibrary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "common/ZipTools.h"
#include "platform/win32.h"

namespace {

// The zip library is built next to the test executables, as it is next to the program.
TEST(Modules, LoadsFromTheExecutableDirectoryWithFunctionAndDataExports) {
    HMODULE module = LoadLibraryA("XceedZip.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(GetProcAddress(module, "XceedZipInitDLL"), nullptr);
    FARPROC table = GetProcAddress(module, "g_xzFunctions");
    ASSERT_NE(table, nullptr);
    // The data export is the table itself: its entries are the library's functions.
    void **entries = reinterpret_cast<void **>(table);
    EXPECT_NE(entries[1], nullptr);
    EXPECT_NE(entries[206], nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(Modules, ModuleNameWithoutExtensionOrInOtherCase) {
    HMODULE a = LoadLibraryA("XceedZip");
    ASSERT_NE(a, nullptr);
    HMODULE b = LoadLibraryA("XceedZip.DLL");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(FreeLibrary(b));
}

TEST(Modules, MissingLibraryFailsWithModNotFound) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("KestruneNoSuchLibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Modules, MissingExportFailsWithProcNotFound) {
    HMODULE module = LoadLibraryA("XceedZip.dll");
    ASSERT_NE(module, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // Symbols the library keeps to itself are not exports.
    EXPECT_EQ(GetProcAddress(module, "KestruneMapPath"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

// After the executable's directory, the loader's own search path is used.
TEST(Modules, FallsBackToTheLoaderSearchPath) {
    HMODULE module = LoadLibraryA("zip.dll");  // libzip.so, a system library
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(GetProcAddress(module, "zip_open"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

// An installed program finds the package's module in lib/kestrune of its own prefix, which is
// not on the loader's search path: a copy of this binary in <root>/bin loads the library
// placed in <root>/lib/kestrune, and without it the module is missing.
TEST(Modules, PrefixModuleFolderAfterTheExecutableDirectory) {
    TestRoot root;
    const std::string bin = root.Posix("bin");
    std::filesystem::create_directories(bin);
    std::filesystem::copy_file(ziptest::SelfExecutable(), bin + "/tests");
    auto child = [&](const std::string &mode) {
        std::string out;
        int rc = ziptest::RunProgram(
            {bin + "/tests", "--gtest_filter=ModulesChild.Load"}, &out,
            {"KESTRUNE_MODULES_CHILD=" + mode, "KESTRUNE_ROOT=" + root.Path(), "LD_LIBRARY_PATH="});
        EXPECT_EQ(rc, 0) << mode << "\n" << out;
        EXPECT_EQ(out.find("SKIPPED"), std::string::npos) << out;
    };
    child("missing");
    std::filesystem::create_directories(root.Posix("lib/kestrune"));
    std::filesystem::copy_file(std::string(KESTRUNE_BIN_DIR) + "/libXceedZip.so",
                               root.Posix("lib/kestrune/libXceedZip.so"));
    child("found");
}

TEST(ModulesChild, Load) {
    const char *mode = std::getenv("KESTRUNE_MODULES_CHILD");
    if (!mode)
        GTEST_SKIP() << "runs as a child of Modules.PrefixModuleFolderAfterTheExecutableDirectory";
    HMODULE module = LoadLibraryA("XceedZip.dll");
    if (std::string(mode) == "missing") {
        EXPECT_EQ(module, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        return;
    }
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(GetProcAddress(module, "XceedZipInitDLL"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

// Every LoadLibraryA counts a reference; the module stays usable until the last FreeLibrary,
// and a handle that is no longer loaded is refused.
TEST(Modules, ReferencesAreCounted) {
    HMODULE first = LoadLibraryA("XceedZip.dll");
    HMODULE second = LoadLibraryA("XceedZip.dll");
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first, second);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_NE(GetProcAddress(second, "g_xzFunctions"), nullptr);
    EXPECT_TRUE(FreeLibrary(second));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A library named with a folder is loaded from that folder only; a file there that is no
// library is a bad image, not a missing module.
TEST(Modules, NamedFolderAndBadImage) {
    TestRoot root;
    ziptest::WriteBytes(root.Posix("c/mods/libBogus.so"), "this is not a shared object");
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("C:\\mods\\Bogus.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("C:\\mods\\XceedZip.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Modules, InvalidArguments) {
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    int notAModule = 0;
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&notAModule)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
