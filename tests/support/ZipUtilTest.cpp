// ZipUtil: adding and extracting under the overwrite rules and the per-archive lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "support/ZipUtil.h"

namespace {

using namespace ziptest;

class ZipUtilTest : public ::testing::Test {
protected:
    // Drive paths ("C:\\d\\a.zip") are taken below the test root.
    std::string D(const std::string &drivePath) const { return root_.Drive(drivePath); }
    LONG Add(const char *archive, const char *pattern, OverwriteRule rule) {
        ZipUtil zip(D(archive).c_str());
        return zip.AddFiles(D(pattern).c_str(), rule);
    }
    LONG ExtractAll(const char *archive, const char *folder, OverwriteRule rule) {
        ZipUtil zip(D(archive).c_str());
        return zip.ExtractAll(D(folder).c_str(), rule);
    }
    std::string Archive() { return ReadBytes(root_.Posix("c/d/a.zip")); }

    // What ExtractAll writes from an archive into a folder of its own: file name -> contents.
    std::map<std::string, std::string> Extracted(const char *archive) {
        const std::string number = std::to_string(extractions_++);
        const std::string folder = root_.Posix("c/extracted" + number);
        std::filesystem::create_directories(folder);
        std::map<std::string, std::string> files;
        if (ExtractAll(archive, ("C:\\extracted" + number).c_str(), OverwriteAlways) != 0)
            return files;
        for (auto &entry : std::filesystem::directory_iterator(folder))
            files[entry.path().filename().string()] = ReadBytes(entry.path().string());
        return files;
    }
    std::string Member(const char *archive, const std::string &name) {
        std::map<std::string, std::string> files = Extracted(archive);
        return files.count(name) ? files[name] : std::string("<missing>");
    }
    std::set<std::string> Names(const char *archive) {
        std::set<std::string> names;
        for (const auto &file : Extracted(archive))
            names.insert(file.first);
        return names;
    }

    TestRoot root_;
    int extractions_ = 0;
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
    EXPECT_EQ(Member("C:\\d\\a.zip", "a.txt"), "1234567890");
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
    EXPECT_EQ(Member("C:\\d\\a.zip", "a.txt"), "three");
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
        ZipUtil zip(D("C:\\d\\a.zip").c_str());
        EXPECT_EQ(zip.DeleteArchivedFile(D("C:\\d\\a.txt").c_str()), ZipUtil::NotInArchive);
        EXPECT_STRNE(zip.ErrorTextRef, "");
    }
    EXPECT_EQ(ReadBytes(file), "CONTENTS");
    // Shorter or longer than the archived copy.
    for (const char *contents : {"content", "contents, and more"}) {
        WriteBytes(file, contents);
        ZipUtil zip(D("C:\\d\\a.zip").c_str());
        EXPECT_EQ(zip.DeleteArchivedFile(D("C:\\d\\a.txt").c_str()), ZipUtil::NotInArchive) << contents;
        EXPECT_EQ(ReadBytes(file), contents);
    }
    // The same bytes under another name are not its copy.
    WriteBytes(root_.Posix("c/d/b.txt"), "contents");
    {
        ZipUtil zip(D("C:\\d\\a.zip").c_str());
        EXPECT_EQ(zip.DeleteArchivedFile(D("C:\\d\\b.txt").c_str()), ZipUtil::NotInArchive);
        EXPECT_NE(std::string(zip.ErrorTextRef).find("b.txt"), std::string::npos) << zip.ErrorTextRef;
    }
    EXPECT_TRUE(Exists(root_.Posix("c/d/b.txt")));
    // No archive, or one that cannot be read: the library's result and text.
    {
        ZipUtil zip(D("C:\\d\\none.zip").c_str());
        EXPECT_NE(zip.DeleteArchivedFile(D("C:\\d\\b.txt").c_str()), 0);
        EXPECT_STRNE(zip.ErrorTextRef, "");
    }
    WriteBytes(root_.Posix("c/d/bad.zip"), "not an archive");
    {
        ZipUtil zip(D("C:\\d\\bad.zip").c_str());
        EXPECT_NE(zip.DeleteArchivedFile(D("C:\\d\\b.txt").c_str()), 0);
    }
    EXPECT_TRUE(Exists(root_.Posix("c/d/b.txt")));
    EXPECT_EQ(ReadBytes(root_.Posix("c/d/bad.zip")), "not an archive");

    // Back to the archived bytes: deleted, and the archive is untouched.
    WriteBytes(file, "contents");
    {
        ZipUtil zip(D("C:\\d\\a.zip").c_str());
        EXPECT_EQ(zip.DeleteArchivedFile(D("C:\\d\\a.txt").c_str()), 0) << zip.ErrorTextRef;
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
    EXPECT_EQ(Member("C:\\d\\a.zip", "a.txt"), "payload");
    ZipUtil zip(D("C:\\d\\a.zip").c_str());
    EXPECT_EQ(zip.DeleteArchivedFile(D("C:\\d\\a.txt").c_str()), 0) << zip.ErrorTextRef;
    EXPECT_FALSE(Exists(root_.Posix("c/d/a.txt")));
}

// Without a listing (there is no archive yet) the file is added without any check, even
// under rule 0; a pattern adds every match, each under its plain name.
TEST_F(ZipUtilTest, AddsWithoutCheckWhenNoListingAndAddsEveryMatch) {
    WriteBytes(root_.Posix("c/d/x_raw.txt"), "x");
    WriteBytes(root_.Posix("c/d/y_raw.txt"), "y");
    WriteBytes(root_.Posix("c/d/z_stats.txt"), "z");
    ASSERT_EQ(Add("C:\\d\\a.zip", "C:\\d\\*_raw.txt", OverwriteNever), 0);
    EXPECT_EQ(Names("C:\\d\\a.zip"), (std::set<std::string>{"x_raw.txt", "y_raw.txt"}));
    // A pattern that matches nothing leaves the result at 0 and creates nothing.
    EXPECT_EQ(Add("C:\\d\\b.zip", "C:\\d\\*.none", OverwriteAlways), 0);
    EXPECT_FALSE(Exists(root_.Posix("c/d/b.zip")));
}

TEST_F(ZipUtilTest, FailedAddReportsTheLibraryText) {
    WriteBytes(root_.Posix("c/d/a.zip"), "this is not an archive");
    WriteBytes(root_.Posix("c/d/a.txt"), "x");
    ZipUtil zip(D("C:\\d\\a.zip").c_str());
    LONG result = zip.AddFiles(D("C:\\d\\a.txt").c_str(), OverwriteAlways);
    EXPECT_NE(result, 0);
    EXPECT_EQ(zip.LastResult, result);
    EXPECT_STRNE(zip.ErrorTextRef, "");
    EXPECT_EQ(ReadBytes(root_.Posix("c/d/a.zip")), "this is not an archive");
}

// The lock is a named mutex called after the archive path with underscores for backslashes.
TEST_F(ZipUtilTest, LockIsNamedAfterTheArchivePath) {
    ZipUtil zip(D("C:\\d\\a.zip").c_str());
    ASSERT_NE(zip.ArchiveLock, nullptr);
    std::string name = D("C:\\d\\a.zip");  // "C:\\d\\a.zip" on Linux
    std::replace(name.begin(), name.end(), '\\', '_');
    EXPECT_STREQ(zip.LockName, name.c_str());
    HANDLE same = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
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
            ZipUtil zip(D("C:\\d\\shared.zip").c_str());
            if (zip.AddFiles(D(pattern).c_str(), OverwriteNever) != 0)
                ++failures[t];
        }
    };
    std::thread first(worker, 0);
    std::thread second(worker, 1);
    first.join();
    second.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    EXPECT_EQ(Names("C:\\d\\shared.zip").size(), static_cast<size_t>(2 * PerThread));
}

TEST_F(ZipUtilTest, ExtractAllWritesBaseNamesIntoTheFolder) {
    ASSERT_TRUE(BuildArchive(root_.Posix("c/d/a.zip"), {{"sub/one.txt", "1"}, {"two.txt", "22"}}));
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
    ASSERT_TRUE(BuildArchive(root_.Posix("c/d/a.zip"), {{"sub/one.txt", "archived"}}));
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
    ASSERT_TRUE(BuildArchive(root_.Posix("c/d/a.zip"), {{"sub/..", "bad"}, {"good.txt", "good"}}));
    std::filesystem::create_directories(root_.Posix("c/out"));
    ZipUtil zip(D("C:\\d\\a.zip").c_str());
    EXPECT_NE(zip.ExtractAll(D("C:\\out").c_str(), OverwriteAlways), 0);
    EXPECT_STRNE(zip.ErrorTextRef, "");
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/good.txt")), "good");
}

TEST_F(ZipUtilTest, ExtractFromMissingArchiveFails) {
    std::filesystem::create_directories(root_.Posix("c/out"));
    ZipUtil zip(D("C:\\d\\none.zip").c_str());
    EXPECT_NE(zip.ExtractAll(D("C:\\out").c_str(), OverwriteAlways), 0);
    EXPECT_STRNE(zip.ErrorTextRef, "");
}

}  // namespace
