// The hourly compression run without the zip library, seen from a copy of the test binary
// placed where no library can be found (a child process of the test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CompressionTestSupport.h"
#include "acquisition/DataAcquisition.h"
#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "common/ZipTools.h"
#include "support/ZipUtil.h"

namespace {

using namespace compressiontest;

// Without the zip library nothing is deleted, and the report says why. Runs in a copy of
// this test binary placed where no library can be found.
TEST(CompressionWithoutLibrary, NothingIsDeleted) {
    TestRoot root;
    const std::string folder = root.Posix("bin");
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(SelfExecutable(), folder + "/tests");
    std::string out;
    int rc = RunProgram({folder + "/tests", "--gtest_filter=CompressionChild.WithoutLibrary"}, &out,
                        {"KESTRUNE_COMPRESSION_CHILD=1", "KESTRUNE_ROOT=" + root.Path(), "LD_LIBRARY_PATH="});
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

TEST(CompressionChild, WithoutLibrary) {
    if (!std::getenv("KESTRUNE_COMPRESSION_CHILD"))
        GTEST_SKIP() << "runs as a child of CompressionWithoutLibrary.NothingIsDeleted";
    const std::string root = std::getenv("KESTRUNE_ROOT");
    ASSERT_EQ(LoadLibraryA("XceedZip.dll"), nullptr);
    {
        std::filesystem::create_directories(root + "/c/Data");
        EventLog log("Compression test", "C:\\Data");
        IdleEngine engine(log);
        snprintf(engine.RawArchiveDirectory, sizeof engine.RawArchiveDirectory, "C:\\Data");
        snprintf(engine.RawFileTemplate, sizeof engine.RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
        engine.FileCompression = 1;
        engine.CompressionAge = 3600;
        engine.CompressionTime = HourChange();
        WriteBytes(root + "/c/Data/lab02634212_raw.txt", "old\r\n");
        ASSERT_TRUE(SetModified(root + "/c/Data/lab02634212_raw.txt", FileTimeOf(2026, 12, 8, 12, 0, 0)));
        DataAcquisition::CompressionThread(&engine);
        EXPECT_TRUE(Exists(root + "/c/Data/lab02634212_raw.txt"));
        EXPECT_FALSE(Exists(root + "/c/Data/lab02634212_raw.zip"));
    }
    std::vector<std::string> reports = LogLines(ReadLogs(root + "/c/Data"), "5009");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Metek1: Zipping C:\\Data\\*_raw.txt to C:\\Data. Error zipping "
                              "C:\\Data\\lab02634212_raw.txt to C:\\Data\\lab02634212_raw.zip. "
                              "Error allocating Zip object."),
              std::string::npos)
        << reports[0];
}

}  // namespace
