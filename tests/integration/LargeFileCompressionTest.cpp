// Compression of a data file of more than 4 GiB (a sparse file): sizes compare as 64-bit
// values, so a file grown past 4 GiB is re-added under rule 2 and deleted only once its
// archive holds all of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/DataAcquisition.h"
#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "common/ZipTools.h"

namespace {

using namespace ziptest;

class IdleEngine : public DataAcquisition {
public:
    explicit IdleEngine(EventLog &log) : DataAcquisition(log) {}
    void Acquire() override {}
};

constexpr uint64_t LargeSize = (4ull << 30) + 1001;

// The 5009 entries of the event logs in folder.
std::vector<std::string> Reports(const std::string &folder) {
    std::vector<std::string> lines;
    for (auto &entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".log")
            continue;
        std::istringstream in(ReadBytes(entry.path().string()));
        std::string line;
        while (std::getline(in, line))
            if (line.find("5009") != std::string::npos)
                lines.push_back(line);
    }
    return lines;
}

TEST(LargeFileCompression, AFileGrownPast4GiBIsReAddedAndDeletedOnlyOnceArchived) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "deflating and checking 4 GiB takes too long under a sanitizer; the case has no threads";
#endif
    TestRoot root;
    const std::string data = root.Posix("c/Data");
    std::filesystem::create_directories(data);
    struct statvfs space;
    if (statvfs(data.c_str(), &space) == 0 &&
        static_cast<uint64_t>(space.f_bavail) * space.f_frsize < (256ull << 20))
        GTEST_SKIP() << "less than 256 MiB free for the archive";

    EventLog log("Large file test", "C:\\Data");
    IdleEngine engine(log);
    const uint64_t old = FileTimeOf(2026, 12, 8, 12, 0, 0);
    engine.CompressionThreshold = {static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0)),
                                   static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0) >> 32)};
    const std::string file = data + "/lab02634212_raw.txt";
    const std::string head(2000, 'h');

    // First hour: 2000 bytes, zipped and deleted.
    WriteBytes(file, head);
    ASSERT_TRUE(SetModified(file, old));
    engine.CompressMatchingFiles("C:\\Data", "lab0<YYJJJHH>_raw.txt");
    ASSERT_FALSE(Exists(file));

    // The same name again, grown to 4 GiB + 1001 bytes: the low 32 bits of its size (1001) are
    // less than the archived 2000.
    WriteBytes(file, head);
    if (truncate(file.c_str(), static_cast<off_t>(LargeSize)) != 0)
        GTEST_SKIP() << "the file system refuses a file of 4 GiB + 1001 bytes: " << strerror(errno);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    if (static_cast<uint64_t>(st.st_blocks) * 512 > (64ull << 20)) {
        std::filesystem::remove(file);
        GTEST_SKIP() << "the file system does not keep the file sparse";
    }
    ASSERT_TRUE(SetModified(file, old));

    engine.CompressMatchingFiles("C:\\Data", "lab0<YYJJJHH>_raw.txt");

    EXPECT_FALSE(Exists(file));
    std::vector<std::string> reports = Reports(data);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find("Zipping C:\\Data\\*_raw.txt to C:\\Data. Operation successful."),
              std::string::npos)
        << reports[1];
    EXPECT_EQ(reports[1].find("Kept"), std::string::npos) << reports[1];

    // The archive's item is the whole file. (The delete above already found its CRC-32 equal to
    // the file's.)
    if (HavePython()) {
        std::string out;
        ASSERT_EQ(RunProgram({"/usr/bin/python3", "-c",
                              "import sys, zipfile\n"
                              "i = zipfile.ZipFile(sys.argv[1]).getinfo('lab02634212_raw.txt')\n"
                              "print(i.file_size)\n",
                              data + "/lab02634212_raw.zip"},
                             &out),
                  0);
        EXPECT_EQ(out, std::to_string(LargeSize) + "\n");
    }
    // unzip reads the ZIP64 sizes and checks the whole item's CRC-32.
    if (HaveUnzip()) {
        std::string out;
        EXPECT_EQ(RunProgram({"unzip", "-tq", data + "/lab02634212_raw.zip"}, &out), 0) << out;
    }
}

}  // namespace
