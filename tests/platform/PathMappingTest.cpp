// The POSIX layer's mapping of drive paths under KESTRUNE_ROOT.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
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
}  // namespace

TEST(Paths, DrivePathsMapUnderTheRoot) {
    TestRoot root;
    EXPECT_EQ(Map("C:\\Data\\raw.txt"), root.Path() + "/c/Data/raw.txt");
    EXPECT_EQ(Map("d:/x"), root.Path() + "/d/x");
    EXPECT_EQ(Map("C:"), root.Path() + "/c");
    EXPECT_EQ(Map("\\Logs\\a.log"), root.Path() + "/c/Logs/a.log");
    EXPECT_EQ(Map("sub\\file.txt"), "sub/file.txt");
    EXPECT_EQ(Map("/tmp/already/posix"), "/tmp/already/posix");
    // A native directory stays; the names the program joins on with a backslash go below it.
    EXPECT_EQ(Map("/srv/flux/data\\kestrune.pid"), "/srv/flux/data/kestrune.pid");
    // A question about a drive makes no folder for it.
    EXPECT_EQ(GetFileAttributesA("S:\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA("S:\\Station"), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(std::filesystem::exists(root.Path() + "/s"));
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
