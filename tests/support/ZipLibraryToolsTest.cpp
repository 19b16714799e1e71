// The run-time zip library's archives against the system's own zip tools (Python's zipfile and
// unzip, run as child processes), archives those tools wrote, ZIP64 end records, and a full
// disk simulated through the file-size limit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "common/ZipTools.h"
#include "support/ZipLibraryFixture.h"

namespace {

using namespace ziptest;

class ZipLibraryTools : public ZipLibrary {
protected:
    void SetUp() override {
        if (!HavePython() || !HaveUnzip())
            GTEST_SKIP() << "python3 and unzip are needed";
        ZipLibrary::SetUp();
    }
    // unzip's own test of every member's CRC-32.
    void ExpectUnzipTestPasses(const std::string &archive) {
        std::string out;
        EXPECT_EQ(RunProgram({"unzip", "-t", archive}, &out), 0) << out;
        EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
    }
};

// Files added (one replaced, one of several chunks of mixed bytes) are read back by zipfile,
// deflated, with the right bytes, and pass unzip's test.
TEST_F(ZipLibraryTools, AddedArchivesAreReadByPythonAndUnzip) {
    const std::string text(5000, 'a');
    std::string mixed;
    for (uint32_t i = 0, x = 1; i < 700000; ++i) {
        x = x * 1103515245u + 12345u;
        mixed += static_cast<char>(i % 3 ? 'a' + (x >> 24) % 8 : (x >> 16) & 0xFF);
    }
    WriteBytes(root_.Posix("c/data/lab02634214_raw.txt"), "first");
    WriteBytes(root_.Posix("c/data/mixed.bin"), mixed);
    ASSERT_EQ(Add("C:\\data\\lab.zip", "C:\\data", "lab02634214_raw.txt"), 0);
    ASSERT_EQ(Add("C:\\data\\lab.zip", "C:\\data", "mixed.bin"), 0);
    WriteBytes(root_.Posix("c/data/lab02634214_raw.txt"), text);
    ASSERT_EQ(Add("C:\\data\\lab.zip", "C:\\data", "lab02634214_raw.txt"), 0);

    const std::string archive = root_.Posix("c/data/lab.zip");
    EXPECT_EQ(PythonListing(archive), "lab02634214_raw.txt 5000 8\nmixed.bin 700000 8\n");
    EXPECT_EQ(PythonMember(archive, "lab02634214_raw.txt"), text);
    EXPECT_EQ(PythonMember(archive, "mixed.bin"), mixed);
    ExpectUnzipTestPasses(archive);
}

// Archives written by Python (deflated, one member with ZIP64 fields in its local header) are
// listed and extracted, and an add keeps their members readable.
TEST_F(ZipLibraryTools, ArchivesWrittenByPythonAreReadAndExtended) {
    const std::string archive = root_.Posix("c/d/py.zip");
    std::filesystem::create_directories(root_.Posix("c/d"));
    std::string out;
    ASSERT_EQ(RunProgram({"/usr/bin/python3", "-c",
                          "import sys, zipfile\n"
                          "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
                          "z.writestr('sub/inner.txt', 'inner ' * 1000)\n"
                          "with z.open('wide.txt', 'w', force_zip64=True) as f: f.write(b'wide' * 3000)\n"
                          "z.close()\n",
                          archive},
                         &out),
              0)
        << out;
    int result = -1;
    std::vector<Item> items = List("C:\\d\\py.zip", &result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].Name, "sub\\inner.txt");
    EXPECT_EQ(items[0].Size, 6000u);
    EXPECT_EQ(items[1].Name, "wide.txt");
    EXPECT_EQ(items[1].Size, 12000u);
    std::filesystem::create_directories(root_.Posix("c/out"));
    ASSERT_EQ(Extract("C:\\d\\py.zip", "sub\\inner.txt", "C:\\out"), 0);
    ASSERT_EQ(Extract("C:\\d\\py.zip", "wide.txt", "C:\\out"), 0);
    std::string inner, wide;
    for (int i = 0; i < 1000; ++i)
        inner += "inner ";
    for (int i = 0; i < 3000; ++i)
        wide += "wide";
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/inner.txt")), inner);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/wide.txt")), wide);

    WriteBytes(root_.Posix("c/d/a.txt"), "added");
    ASSERT_EQ(Add("C:\\d\\py.zip", "C:\\d", "a.txt"), 0);
    EXPECT_EQ(PythonListing(archive), "sub/inner.txt 6000 8\nwide.txt 12000 8\na.txt 5 8\n");
    EXPECT_EQ(PythonMember(archive, "wide.txt"), wide);
    ExpectUnzipTestPasses(archive);
}

// An archive of more than 65535 items has ZIP64 end records: it is listed whole, and an add
// writes ZIP64 end records again that zipfile and unzip read.
TEST_F(ZipLibraryTools, MoreThan65535ItemsUseTheZip64EndRecords) {
    const std::string archive = root_.Posix("c/d/many.zip");
    std::filesystem::create_directories(root_.Posix("c/d"));
    std::string out;
    ASSERT_EQ(RunProgram({"/usr/bin/python3", "-c",
                          "import sys, zipfile\n"
                          "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED)\n"
                          "for i in range(70000): z.writestr('i%05d' % i, str(i))\n"
                          "z.close()\n",
                          archive},
                         &out),
              0)
        << out;
    int result = -1;
    std::vector<Item> items = List("C:\\d\\many.zip", &result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(items.size(), 70000u);
    EXPECT_EQ(items[69999].Name, "i69999");

    WriteBytes(root_.Posix("c/d/last.txt"), "last");
    ASSERT_EQ(Add("C:\\d\\many.zip", "C:\\d", "last.txt"), 0);
    const std::string bytes = ReadBytes(archive);
    EXPECT_NE(bytes.find("PK\x06\x06"), std::string::npos);  // the ZIP64 end record
    EXPECT_NE(bytes.find("PK\x06\x07"), std::string::npos);  // and its locator
    ASSERT_EQ(
        RunProgram({"/usr/bin/python3", "-c",
                    "import sys, zipfile\n"
                    "z = zipfile.ZipFile(sys.argv[1])\n"
                    "assert z.testzip() is None\n"
                    "print(len(z.infolist()), z.read('i12345').decode(), z.read('last.txt').decode())\n",
                    archive},
                   &out),
        0)
        << out;
    EXPECT_EQ(out, "70001 12345 last\n");
    ExpectUnzipTestPasses(archive);
}

// A write that runs out of room (here: the file-size limit, which fails writes the way a
// full disk does) fails the add with the disk-full text and leaves the old archive intact.
TEST_F(ZipLibraryTools, WriteErrorWhileAddingKeepsTheArchive) {
    WriteBytes(root_.Posix("c/d/small.txt"), "small");
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "small.txt"), 0);
    const std::string before = ReadBytes(root_.Posix("c/d/x.zip"));
    std::string big;
    for (int i = 0; i < 200000; ++i)
        big += std::to_string(i * 7919u % 100003u);
    WriteBytes(root_.Posix("c/d/big.txt"), big);

    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old), 0);
    struct rlimit limit, saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limit = saved;
    limit.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    int result = Add("C:\\d\\x.zip", "C:\\d", "big.txt");
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_NE(result, 0);
    EXPECT_EQ(ResultText(result), "There is not enough space on the disk.");
    EXPECT_EQ(ReadBytes(root_.Posix("c/d/x.zip")), before);
    int listed = -1;
    EXPECT_EQ(List("C:\\d\\x.zip", &listed).size(), 1u);
    EXPECT_EQ(listed, 0);
}

}  // namespace
