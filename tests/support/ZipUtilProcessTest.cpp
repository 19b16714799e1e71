// ZipUtil where the process itself is the subject: the time zone set through TZ, a lock left
// by a process that died, and the library missing or foreign in a copy of the test binary run
// as a child process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "common/ZipTools.h"
#include "support/ZipUtil.h"

namespace {

using namespace ziptest;

class ZipUtilProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePython())
            GTEST_SKIP() << "python3 is needed";
    }
    LONG Add(const char *archive, const char *pattern, OverwriteRule rule) {
        ZipUtil zip(archive);
        return zip.AddFiles(pattern, rule);
    }
    std::string Archive() { return ReadBytes(root_.Posix("c/d/a.zip")); }

    TestRoot root_;
};

// The process's time zone for one test, restored afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *zone) {
        const char *old = std::getenv("TZ");
        if (old) {
            hadOld_ = true;
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

long UtcOffsetAt(uint64_t fileTime) {
    time_t seconds = static_cast<time_t>((fileTime - UnixEpochAsFileTime) / 10000000ull);
    struct tm local;
    localtime_r(&seconds, &local);
    return local.tm_gmtoff;
}

// Rules 4 and 5 compare UTC times. A file dated in the other half of the year than now has
// another offset from UTC than the one in force; its own archived copy must still compare
// equal to it under both rules. The contents differ (same time, new bytes), so a re-add would
// show in the archive.
TEST_F(ZipUtilProcess, RulesOlderAndNewerHoldAcrossADaylightSavingChange) {
    if (!Exists("/usr/share/zoneinfo/Europe/Berlin"))
        GTEST_SKIP() << "no time zone data for Europe/Berlin";
    ScopedTimeZone berlin("Europe/Berlin");
    const uint64_t now = static_cast<uint64_t>(time(nullptr)) * 10000000ull + UnixEpochAsFileTime;
    uint64_t written = FileTimeOf(2026, 7, 15, 12, 0, 0) + 1234567;
    if (UtcOffsetAt(written) == UtcOffsetAt(now))
        written = FileTimeOf(2026, 12, 15, 12, 0, 0) + 1234567;
    ASSERT_NE(UtcOffsetAt(written), UtcOffsetAt(now));

    const std::string file = root_.Posix("c/d/a.txt");
    WriteBytes(file, "archived");
    ASSERT_TRUE(SetModified(file, written));
    ASSERT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteAlways), 0);
    const std::string before = Archive();
    WriteBytes(file, "replaced");
    ASSERT_TRUE(SetModified(file, written));
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfNewer), 0);
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfOlder), 0);
    EXPECT_EQ(Archive(), before);

    // One second either way is still seen.
    ASSERT_TRUE(SetModified(file, written + 10000000));
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfNewer), 0);
    EXPECT_EQ(Archive(), before);
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfOlder), 0);
    EXPECT_EQ(PythonMember(root_.Posix("c/d/a.zip"), "a.txt"), "replaced");
}

// A process that dies holding the lock hands it on abandoned; the next operation takes it.
TEST_F(ZipUtilProcess, LockAbandonedByADeadProcessIsTaken) {
    std::string out;
    int rc = RunProgram({SelfExecutable(), "--gtest_filter=ZipUtilChild.HoldLockAndExit"}, &out,
                        {"KESTRUNE_ZIP_CHILD=hold", "KESTRUNE_ROOT=" + root_.Path()});
    ASSERT_EQ(rc, 0) << out;
    WriteBytes(root_.Posix("c/d/a.txt"), "x");
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteAlways), 0);
    EXPECT_TRUE(Exists(root_.Posix("c/d/a.zip")));
}

TEST(ZipUtilChild, HoldLockAndExit) {
    const char *mode = std::getenv("KESTRUNE_ZIP_CHILD");
    if (!mode || std::string(mode) != "hold")
        GTEST_SKIP() << "runs as a child of LockAbandonedByADeadProcessIsTaken";
    HANDLE lock = CreateMutexA(nullptr, FALSE, "C:_d_a.zip");
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(WaitForSingleObject(lock, INFINITE), WAIT_OBJECT_0);
    std::fflush(nullptr);
    _exit(0);  // dies holding the lock
}

// The constructor's exceptions, seen from a copy of this test binary in a folder where the
// library is missing (1000) or is a library without the expected exports (1001).
// The library folder of this test binary's architecture, whose libzip stands in for a foreign
// library: one that loads but is not the zip library.
#if defined(__aarch64__)
const char *const LibraryFolder = "/usr/lib/aarch64-linux-gnu";
#else
const char *const LibraryFolder = "/usr/lib/x86_64-linux-gnu";
#endif

TEST(ZipUtilSetup, MissingOrForeignLibraryThrows) {
    TestRoot root;
    const std::string self = SelfExecutable();
    ASSERT_FALSE(self.empty());
    for (const char *mode : {"missing", "foreign"}) {
        const std::string folder = root.Posix(mode);
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(self, folder + "/tests");
        if (std::string(mode) == "foreign") {
            std::string out;
            ASSERT_EQ(RunProgram({"sh", "-c",
                                  "cp -L \"$(ls " + std::string(LibraryFolder) +
                                      "/libzip.so.[0-9]* | head -n 1)\" " + folder + "/libXceedZip.so"},
                                 &out),
                      0);
        }
        std::string out;
        int rc = RunProgram(
            {folder + "/tests", "--gtest_filter=ZipUtilChild.Construct"}, &out,
            {std::string("KESTRUNE_ZIP_CHILD=") + mode, "KESTRUNE_ROOT=" + root.Path(), "LD_LIBRARY_PATH="});
        EXPECT_EQ(rc, 0) << mode << "\n" << out;
    }
}

TEST(ZipUtilChild, Construct) {
    const char *mode = std::getenv("KESTRUNE_ZIP_CHILD");
    if (!mode || (std::string(mode) != "missing" && std::string(mode) != "foreign"))
        GTEST_SKIP() << "runs as a child of MissingOrForeignLibraryThrows";
    DWORD expected =
        std::string(mode) == "missing" ? ZipUtilException::LibraryNotLoaded : ZipUtilException::NoInitExport;
    DWORD code = 0;
    try {
        ZipUtil zip("C:\\d\\a.zip");
    } catch (const ZipUtilException &e) {
        code = e.Code;
    }
    EXPECT_EQ(code, expected);
}

}  // namespace
