// ZipUtil: adding and extracting under the overwrite rules and the per-archive lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "support/ZipUtil.h"

namespace {

using namespace ziptest;

// The item names of an archive, through a listing of the library as ExtractAll sees them.
std::set<std::string> Names(const std::string &posixArchive) {
    std::set<std::string> names;
    if (!HavePython())
        return names;
    std::string listing = PythonListing(posixArchive);
    size_t at = 0;
    while (at < listing.size()) {
        size_t end = listing.find('\n', at);
        std::string line = listing.substr(at, end - at);
        names.insert(line.substr(0, line.find(' ')));
        at = end == std::string::npos ? listing.size() : end + 1;
    }
    return names;
}

class ZipUtilTest : public ::testing::Test {
protected:
    LONG Add(const char *archive, const char *pattern, OverwriteRule rule) {
        ZipUtil zip(archive);
        return zip.AddFiles(pattern, rule);
    }
    LONG ExtractAll(const char *archive, const char *folder, OverwriteRule rule) {
        ZipUtil zip(archive);
        return zip.ExtractAll(folder, rule);
    }
    std::string Archive() { return ReadBytes(root_.Posix("c/d/a.zip")); }

    TestRoot root_;
};

TEST_F(ZipUtilTest, RuleNeverLeavesTheArchiveUnchanged) {
    WriteBytes(root_.Posix("c/d/a.txt"), "original");
    ASSERT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteNever), 0);
    const std::string before = Archive();
    WriteBytes(root_.Posix("c/d/a.txt"), "changed and longer");
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteNever), 0);
    EXPECT_EQ(Archive(), before);
}

TEST_F(ZipUtilTest, RuleSmallerReAddsOnlyWhenTheArchivedCopyIsSmaller) {
    WriteBytes(root_.Posix("c/d/a.txt"), "12345");
    ASSERT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfSmaller), 0);
    std::string before = Archive();
    // Same size: skipped.
    WriteBytes(root_.Posix("c/d/a.txt"), "abcde");
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfSmaller), 0);
    EXPECT_EQ(Archive(), before);
    // Smaller on disk: skipped.
    WriteBytes(root_.Posix("c/d/a.txt"), "abc");
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfSmaller), 0);
    EXPECT_EQ(Archive(), before);
    // Larger on disk: the archived copy is smaller and is replaced.
    WriteBytes(root_.Posix("c/d/a.txt"), "1234567890");
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfSmaller), 0);
    EXPECT_NE(Archive(), before);
    if (HavePython()) {
        EXPECT_EQ(PythonMember(root_.Posix("c/d/a.zip"), "a.txt"), "1234567890");
    }
    // Rule 3 is the mirror image: replaced only when the archived copy is larger.
    WriteBytes(root_.Posix("c/d/a.txt"), "12345678901");
    before = Archive();
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfLarger), 0);
    EXPECT_EQ(Archive(), before);
    WriteBytes(root_.Posix("c/d/a.txt"), "1");
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfLarger), 0);
    EXPECT_NE(Archive(), before);
}

// Rules 4 and 5 compare the item's time with the file's, both in local time. A file and
// its own archived copy are equal, so neither rule replaces it.
TEST_F(ZipUtilTest, RulesOlderAndNewerCompareModificationTimes) {
    const std::string file = root_.Posix("c/d/a.txt");
    const uint64_t t0 = FileTimeOf(2026, 12, 8, 14, 0, 0) + 1234567;
    WriteBytes(file, "one");
    ASSERT_TRUE(SetModified(file, t0));
    ASSERT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteAlways), 0);
    std::string before = Archive();

    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfOlder), 0);
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfNewer), 0);
    EXPECT_EQ(Archive(), before);

    // The disk file is newer: the archived copy is older, rule 5 skips, rule 4 replaces.
    WriteBytes(file, "two");
    ASSERT_TRUE(SetModified(file, t0 + 10000000));
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfNewer), 0);
    EXPECT_EQ(Archive(), before);
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfOlder), 0);
    EXPECT_NE(Archive(), before);
    before = Archive();

    // The disk file is older: rule 4 skips, rule 5 replaces.
    WriteBytes(file, "three");
    ASSERT_TRUE(SetModified(file, t0 - 20000000));
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfOlder), 0);
    EXPECT_EQ(Archive(), before);
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteIfNewer), 0);
    if (HavePython()) {
        EXPECT_EQ(PythonMember(root_.Posix("c/d/a.zip"), "a.txt"), "three");
    }
}

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
TEST_F(ZipUtilTest, RulesOlderAndNewerHoldAcrossADaylightSavingChange) {
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
    if (HavePython()) {
        EXPECT_EQ(PythonMember(root_.Posix("c/d/a.zip"), "a.txt"), "replaced");
    }
}

// A file is deleted only when the archive holds an item of its name with its current size
// and CRC-32; every other case keeps it and says why.
TEST_F(ZipUtilTest, DeleteArchivedFileDeletesOnlyWhatTheArchiveHolds) {
    const std::string file = root_.Posix("c/d/a.txt");
    WriteBytes(file, "contents");
    ASSERT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteAlways), 0);
    const std::string archive = Archive();

    // Changed after it was zipped, same size: only the CRC-32 tells.
    WriteBytes(file, "CONTENTS");
    {
        ZipUtil zip("C:\\d\\a.zip");
        EXPECT_EQ(zip.DeleteArchivedFile("C:\\d\\a.txt"), ZipUtil::NotInArchive);
        EXPECT_STRNE(zip.ErrorTextRef, "");
    }
    EXPECT_EQ(ReadBytes(file), "CONTENTS");
    // Shorter or longer than the archived copy.
    for (const char *contents : {"content", "contents, and more"}) {
        WriteBytes(file, contents);
        ZipUtil zip("C:\\d\\a.zip");
        EXPECT_EQ(zip.DeleteArchivedFile("C:\\d\\a.txt"), ZipUtil::NotInArchive) << contents;
        EXPECT_EQ(ReadBytes(file), contents);
    }
    // The same bytes under another name are not its copy.
    WriteBytes(root_.Posix("c/d/b.txt"), "contents");
    {
        ZipUtil zip("C:\\d\\a.zip");
        EXPECT_EQ(zip.DeleteArchivedFile("C:\\d\\b.txt"), ZipUtil::NotInArchive);
        EXPECT_NE(std::string(zip.ErrorTextRef).find("b.txt"), std::string::npos) << zip.ErrorTextRef;
    }
    EXPECT_TRUE(Exists(root_.Posix("c/d/b.txt")));
    // No archive, or one that cannot be read: the library's result and text.
    {
        ZipUtil zip("C:\\d\\none.zip");
        EXPECT_NE(zip.DeleteArchivedFile("C:\\d\\b.txt"), 0);
        EXPECT_STRNE(zip.ErrorTextRef, "");
    }
    WriteBytes(root_.Posix("c/d/bad.zip"), "not an archive");
    {
        ZipUtil zip("C:\\d\\bad.zip");
        EXPECT_NE(zip.DeleteArchivedFile("C:\\d\\b.txt"), 0);
    }
    EXPECT_TRUE(Exists(root_.Posix("c/d/b.txt")));
    EXPECT_EQ(ReadBytes(root_.Posix("c/d/bad.zip")), "not an archive");

    // Back to the archived bytes: deleted, and the archive is untouched.
    WriteBytes(file, "contents");
    {
        ZipUtil zip("C:\\d\\a.zip");
        EXPECT_EQ(zip.DeleteArchivedFile("C:\\d\\a.txt"), 0) << zip.ErrorTextRef;
    }
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(Archive(), archive);
}

// An archive of 0 bytes (a crash before anything was written) is an empty archive: the file
// is added whatever the rule, and the archive becomes a valid one.
TEST_F(ZipUtilTest, AnEmptyArchiveFileIsAnEmptyArchive) {
    WriteBytes(root_.Posix("c/d/a.zip"), "");
    WriteBytes(root_.Posix("c/d/a.txt"), "payload");
    EXPECT_EQ(Add("C:\\d\\a.zip", "C:\\d\\a.txt", OverwriteNever), 0);
    EXPECT_NE(Archive(), "");
    if (HavePython()) {
        EXPECT_EQ(PythonMember(root_.Posix("c/d/a.zip"), "a.txt"), "payload");
    }
    ZipUtil zip("C:\\d\\a.zip");
    EXPECT_EQ(zip.DeleteArchivedFile("C:\\d\\a.txt"), 0) << zip.ErrorTextRef;
    EXPECT_FALSE(Exists(root_.Posix("c/d/a.txt")));
}

// Without a listing (there is no archive yet) the file is added without any check, even
// under rule 0; a pattern adds every match, each under its plain name.
TEST_F(ZipUtilTest, AddsWithoutCheckWhenNoListingAndAddsEveryMatch) {
    WriteBytes(root_.Posix("c/d/x_raw.txt"), "x");
    WriteBytes(root_.Posix("c/d/y_raw.txt"), "y");
    WriteBytes(root_.Posix("c/d/z_stats.txt"), "z");
    ASSERT_EQ(Add("C:\\d\\a.zip", "C:\\d\\*_raw.txt", OverwriteNever), 0);
    if (HavePython()) {
        EXPECT_EQ(Names(root_.Posix("c/d/a.zip")), (std::set<std::string>{"x_raw.txt", "y_raw.txt"}));
    }
    // A pattern that matches nothing leaves the result at 0 and creates nothing.
    EXPECT_EQ(Add("C:\\d\\b.zip", "C:\\d\\*.none", OverwriteAlways), 0);
    EXPECT_FALSE(Exists(root_.Posix("c/d/b.zip")));
}

TEST_F(ZipUtilTest, FailedAddReportsTheLibraryText) {
    WriteBytes(root_.Posix("c/d/a.zip"), "this is not an archive");
    WriteBytes(root_.Posix("c/d/a.txt"), "x");
    ZipUtil zip("C:\\d\\a.zip");
    LONG result = zip.AddFiles("C:\\d\\a.txt", OverwriteAlways);
    EXPECT_NE(result, 0);
    EXPECT_EQ(zip.LastResult, result);
    EXPECT_STRNE(zip.ErrorTextRef, "");
    EXPECT_EQ(ReadBytes(root_.Posix("c/d/a.zip")), "this is not an archive");
}

// The lock is a named mutex called after the archive path with underscores for backslashes.
TEST_F(ZipUtilTest, LockIsNamedAfterTheArchivePath) {
    ZipUtil zip("C:\\d\\a.zip");
    ASSERT_NE(zip.ArchiveLock, nullptr);
    EXPECT_STREQ(zip.LockName, "C:_d_a.zip");
    HANDLE same = OpenMutexA(SYNCHRONIZE, FALSE, "C:_d_a.zip");
    EXPECT_NE(same, nullptr);
    if (same)
        CloseHandle(same);
}

// Two objects on one archive from two threads: each add is a read-modify-write of the
// archive, so without the lock one thread's items would be lost.
TEST_F(ZipUtilTest, TwoThreadsOnOneArchiveRunOneAfterTheOther) {
    constexpr int PerThread = 12;
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < PerThread; ++i)
            WriteBytes(root_.Posix("c/d/f" + std::to_string(t) + "_" + std::to_string(i) + ".txt"),
                       std::string(2000 + i, static_cast<char>('a' + i)));
    LONG failures[2] = {0, 0};
    auto worker = [&](int t) {
        for (int i = 0; i < PerThread; ++i) {
            std::string pattern = "C:\\d\\f" + std::to_string(t) + "_" + std::to_string(i) + ".txt";
            ZipUtil zip("C:\\d\\shared.zip");
            if (zip.AddFiles(pattern.c_str(), OverwriteNever) != 0)
                ++failures[t];
        }
    };
    std::thread first(worker, 0);
    std::thread second(worker, 1);
    first.join();
    second.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    if (HavePython()) {
        EXPECT_EQ(Names(root_.Posix("c/d/shared.zip")).size(), static_cast<size_t>(2 * PerThread));
    }
}

// A process that dies holding the lock hands it on abandoned; the next operation takes it.
TEST_F(ZipUtilTest, LockAbandonedByADeadProcessIsTaken) {
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

TEST_F(ZipUtilTest, ExtractAllWritesBaseNamesIntoTheFolder) {
    if (!HavePython())
        GTEST_SKIP() << "python3 is needed to build the archive";
    ASSERT_TRUE(PythonBuild(root_.Posix("c/d/a.zip"), {{"sub/one.txt", "1"}, {"two.txt", "22"}}));
    std::filesystem::create_directories(root_.Posix("c/out"));
    // A trailing backslash on the folder is not doubled.
    EXPECT_EQ(ExtractAll("C:\\d\\a.zip", "C:\\out\\", OverwriteNever), 0);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/one.txt")), "1");
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/two.txt")), "22");
    EXPECT_FALSE(Exists(root_.Posix("c/out/sub")));
}

// The disk file is the target: an item with folder parts is checked against the folder and
// its base name only.
TEST_F(ZipUtilTest, ExtractAllAppliesTheRuleToTheFileOnDisk) {
    if (!HavePython())
        GTEST_SKIP() << "python3 is needed to build the archive";
    ASSERT_TRUE(PythonBuild(root_.Posix("c/d/a.zip"), {{"sub/one.txt", "archived"}}));
    WriteBytes(root_.Posix("c/out/one.txt"), "on disk, longer");
    EXPECT_EQ(ExtractAll("C:\\d\\a.zip", "C:\\out", OverwriteNever), 0);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/one.txt")), "on disk, longer");
    EXPECT_EQ(ExtractAll("C:\\d\\a.zip", "C:\\out", OverwriteIfSmaller), 0);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/one.txt")), "on disk, longer");
    EXPECT_EQ(ExtractAll("C:\\d\\a.zip", "C:\\out", OverwriteIfLarger), 0);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/one.txt")), "archived");
}

// A failed item does not stop the walk, and a later success does not hide the failure.
TEST_F(ZipUtilTest, ExtractAllGoesOnAfterAFailureAndReportsIt) {
    if (!HavePython())
        GTEST_SKIP() << "python3 is needed to build the archive";
    ASSERT_TRUE(PythonBuild(root_.Posix("c/d/a.zip"), {{"sub/..", "bad"}, {"good.txt", "good"}}));
    std::filesystem::create_directories(root_.Posix("c/out"));
    ZipUtil zip("C:\\d\\a.zip");
    EXPECT_NE(zip.ExtractAll("C:\\out", OverwriteAlways), 0);
    EXPECT_STRNE(zip.ErrorTextRef, "");
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/good.txt")), "good");
}

TEST_F(ZipUtilTest, ExtractFromMissingArchiveFails) {
    std::filesystem::create_directories(root_.Posix("c/out"));
    ZipUtil zip("C:\\d\\none.zip");
    EXPECT_NE(zip.ExtractAll("C:\\out", OverwriteAlways), 0);
    EXPECT_STRNE(zip.ErrorTextRef, "");
}

// The constructor's exceptions, seen from a copy of this test binary in a folder where the
// library is missing (1000) or is a library without the expected exports (1001).
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
            ASSERT_EQ(
                RunProgram(
                    {"sh", "-c",
                     "cp -L \"$(ldconfig -p | awk '/libzip\\.so\\.[0-9]* .*x86-64/ {print $NF; exit}')\" " +
                         folder + "/libXceedZip.so"},
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
