// The hourly compression run: old raw and statistics files are zipped, one archive per file,
// and each is deleted only when its archive holds its current bytes.
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
#include "support/ZipUtil.h"

namespace {

using namespace compressiontest;

class CompressionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root_.Posix("c/Data"));
        log_ = std::make_unique<EventLog>("Compression test", P("C:\\Data").c_str());
        engine_ = std::make_unique<IdleEngine>(*log_);
        snprintf(engine_->RawArchiveDirectory, sizeof engine_->RawArchiveDirectory, "%s",
                 P("C:\\Data").c_str());
        snprintf(engine_->RawFileTemplate, sizeof engine_->RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
        snprintf(engine_->StatsArchiveDirectory, sizeof engine_->StatsArchiveDirectory, "%s",
                 P("C:\\Data\\Stats").c_str());
        snprintf(engine_->StatsFileTemplate, sizeof engine_->StatsFileTemplate, "lab0<YYJJJHH>_stats.txt");
        engine_->FileCompression = 1;
        engine_->CompressionAge = 3600;
        engine_->CompressionTime = HourChange();
    }

    // A data file with the given contents and modification time (UTC).
    void DataFile(const std::string &relative, const std::string &contents, uint64_t modified) {
        WriteBytes(root_.Posix(relative), contents);
        ASSERT_TRUE(SetModified(root_.Posix(relative), modified));
    }

    DWORD RunThread() {
        uintptr_t thread =
            _beginthreadex(nullptr, 0, DataAcquisition::CompressionThread, engine_.get(), 0, nullptr);
        EXPECT_NE(thread, 0u);
        HANDLE handle = reinterpret_cast<HANDLE>(thread);
        EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_OBJECT_0);
        DWORD code = 99;
        EXPECT_TRUE(GetExitCodeThread(handle, &code));
        CloseHandle(handle);
        return code;
    }

    std::string Logs() { return ReadLogs(root_.Posix("c/Data")); }

    // A text with its drive paths ("C:\\Data") taken below the test root; the same text on
    // Linux, where the platform layer maps them.
    std::string P(const std::string &text) const {
        const std::string drive = root_.Drive("C:\\");
        std::string out;
        for (size_t at = 0; at < text.size();) {
            if (text.compare(at, 3, "C:\\") == 0) {
                out += drive;
                at += 3;
            } else {
                out += text[at++];
            }
        }
        return out;
    }
    // An item of an archive as the zip library extracts it (into a folder of its own).
    std::string Member(const std::string &archive, const std::string &item) {
        const std::string number = std::to_string(extractions_++);
        std::filesystem::create_directories(root_.Posix("c/member" + number));
        ZipUtil zip(P(archive).c_str());
        if (zip.ExtractAll(P("C:\\member" + number).c_str(), OverwriteAlways) != 0)
            return std::string("<") + zip.ErrorTextRef + ">";
        return ReadBytes(root_.Posix("c/member" + number + "/" + item));
    }

    TestRoot root_;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<IdleEngine> engine_;
    int extractions_ = 0;
};

TEST_F(CompressionTest, ZipsAndDeletesExactlyTheOldFiles) {
    const uint64_t threshold = FileTimeOf(2026, 12, 8, 14, 0, 12);
    std::string rawOld, statsOld;
    for (int i = 0; i < 3000; ++i)
        rawOld += "14:" + std::to_string(i) + " 1.25 -0.50 0.03 21.40 0 0 0 0\r\n";
    for (int i = 0; i < 60; ++i)
        statsOld += std::to_string(i) + "  0.123  0.456  0.789\r\n";
    DataFile("c/Data/lab02634212_raw.txt", rawOld, FileTimeOf(2026, 12, 8, 12, 59, 59));
    DataFile("c/Data/lab02634213_raw.txt", "edge\r\n", threshold);  // exactly at the threshold
    DataFile("c/Data/lab02634214_raw.txt", "young\r\n", threshold + 1);
    DataFile("c/Data/lab02634215_raw.txt", "current\r\n", FileTimeOf(2026, 12, 8, 15, 0, 11));
    DataFile("c/Data/notes.txt", "not a data file\r\n", FileTimeOf(2026, 12, 1, 0, 0, 0));
    DataFile("c/Data/Stats/lab02634212_stats.txt", statsOld, FileTimeOf(2026, 12, 8, 13, 0, 0));
    DataFile("c/Data/Stats/lab02634215_stats.txt", "current\r\n", FileTimeOf(2026, 12, 8, 15, 0, 0));

    EXPECT_EQ(RunThread(), 0u);

    // The threshold is the hour change less the age, kept in CompressionTime and
    // CompressionThreshold.
    EXPECT_EQ(engine_->CompressionTime.wHour, 14);
    EXPECT_EQ(engine_->CompressionTime.wSecond, 12);
    const uint64_t stored = (static_cast<uint64_t>(engine_->CompressionThreshold.dwHighDateTime) << 32) |
                            engine_->CompressionThreshold.dwLowDateTime;
    EXPECT_EQ(stored, threshold);
    EXPECT_STREQ(engine_->FilePattern, "*_stats.txt");

    // Old files: deleted, each in its archive beside it, byte for byte.
    const struct {
        const char *File;
        const char *Archive;
        const char *Item;
        std::string Contents;
    } zipped[] = {
        {"c/Data/lab02634212_raw.txt", "c/Data/lab02634212_raw.zip", "lab02634212_raw.txt", rawOld},
        {"c/Data/lab02634213_raw.txt", "c/Data/lab02634213_raw.zip", "lab02634213_raw.txt", "edge\r\n"},
        {"c/Data/Stats/lab02634212_stats.txt", "c/Data/Stats/lab02634212_stats.zip", "lab02634212_stats.txt",
         statsOld}};
    std::filesystem::create_directories(root_.Posix("c/check"));
    for (const auto &z : zipped) {
        EXPECT_FALSE(Exists(root_.Posix(z.File))) << z.File;
        ASSERT_TRUE(Exists(root_.Posix(z.Archive))) << z.Archive;
    }
    for (const auto &z : zipped) {
        // "c/Data/x.zip" is "C:\Data\x.zip".
        std::string windows = P("C:\\") + std::string(z.Archive + 2);
        for (char &c : windows)
            if (c == '/')
                c = '\\';
        ZipUtil zip(windows.c_str());
        EXPECT_EQ(zip.ExtractAll(P("C:\\check").c_str(), OverwriteAlways), 0) << zip.ErrorTextRef;
        EXPECT_EQ(ReadBytes(root_.Posix(std::string("c/check/") + z.Item)), z.Contents) << z.Item;
    }
    // Young files and files of other data sets stay, unzipped.
    for (const char *kept : {"c/Data/lab02634214_raw.txt", "c/Data/lab02634215_raw.txt", "c/Data/notes.txt",
                             "c/Data/Stats/lab02634215_stats.txt"})
        EXPECT_TRUE(Exists(root_.Posix(kept))) << kept;
    for (const char *none : {"c/Data/lab02634214_raw.zip", "c/Data/lab02634215_raw.zip", "c/Data/notes.zip",
                             "c/Data/Stats/lab02634215_stats.zip"})
        EXPECT_FALSE(Exists(root_.Posix(none))) << none;

    const std::string logs = Logs();
    std::vector<std::string> started = LogLines(logs, "5002");
    ASSERT_EQ(started.size(), 1u) << logs;
    EXPECT_TRUE(started[0].find(
                    "Metek1: Compressing data files with modification times older than 12/08/26 14:00:12") !=
                std::string::npos)
        << started[0];
    std::vector<std::string> reports = LogLines(logs, "5009");
    ASSERT_EQ(reports.size(), 2u) << logs;
    EXPECT_NE(reports[0].find(P("Metek1: Zipping C:\\Data\\*_raw.txt to C:\\Data. Operation successful.")),
              std::string::npos)
        << reports[0];
    EXPECT_NE(reports[1].find(P(
                  "Metek1: Zipping C:\\Data\\Stats\\*_stats.txt to C:\\Data\\Stats. Operation successful.")),
              std::string::npos)
        << reports[1];
}

// A run that finds nothing to zip deletes nothing and says so.
TEST_F(CompressionTest, NothingOldEnoughLeavesEverything) {
    DataFile("c/Data/lab02634215_raw.txt", "current\r\n", FileTimeOf(2026, 12, 8, 15, 0, 0));
    engine_->StatsArchiveDirectory[0] = '\0';  // only the raw directory is processed
    EXPECT_EQ(RunThread(), 0u);
    EXPECT_TRUE(Exists(root_.Posix("c/Data/lab02634215_raw.txt")));
    EXPECT_FALSE(Exists(root_.Posix("c/Data/lab02634215_raw.zip")));
    std::vector<std::string> reports = LogLines(Logs(), "5009");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find(P("Metek1: Zipping C:\\Data\\*_raw.txt to C:\\Data. Operation successful.")),
              std::string::npos)
        << reports[0];
}

// The zip library's temporary files of the data set's archives that an interrupted run left
// are removed, each with an entry; those of other archives and other files stay.
TEST_F(CompressionTest, TemporaryFilesOfAnInterruptedRunAreRemoved) {
    DataFile("c/Data/lab02634212_raw.zip.3hhukt", "PK half", FileTimeOf(2026, 12, 8, 12, 30, 0));
    DataFile("c/Data/lab02634212_stats.zip.x1y2z3", "PK other set", FileTimeOf(2026, 12, 8, 12, 30, 0));
    DataFile("c/Data/lab02634212_raw.txt.keep", "not a temporary", FileTimeOf(2026, 12, 8, 12, 30, 0));
    engine_->StatsArchiveDirectory[0] = '\0';
    EXPECT_EQ(RunThread(), 0u);
    EXPECT_FALSE(Exists(root_.Posix("c/Data/lab02634212_raw.zip.3hhukt")));
    EXPECT_TRUE(Exists(root_.Posix("c/Data/lab02634212_stats.zip.x1y2z3")));
    EXPECT_TRUE(Exists(root_.Posix("c/Data/lab02634212_raw.txt.keep")));
    const std::vector<std::string> removed = LogLines(Logs(), "  5032  ");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_NE(
        removed[0].find(P("  5032  Metek1: Removed C:\\Data\\lab02634212_raw.zip.3hhukt, a temporary file "
                          "left by an interrupted compression run.\r")),
        std::string::npos)
        << removed[0];
}

// The pattern is "*" and the template's tail from its last "_", else its last ".".
TEST_F(CompressionTest, PatternFromTheTemplateTail) {
    const uint64_t old = FileTimeOf(2026, 12, 8, 10, 0, 0);
    engine_->CompressionThreshold = {static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0)),
                                     static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0) >> 32)};
    DataFile("c/A/x26342.dat", "x", old);
    DataFile("c/A/y.txt", "y", old);
    engine_->CompressMatchingFiles(P("C:\\A").c_str(), "data<YYJJJ>.dat");
    EXPECT_STREQ(engine_->FilePattern, "*.dat");
    EXPECT_TRUE(Exists(root_.Posix("c/A/x26342.zip")));
    EXPECT_FALSE(Exists(root_.Posix("c/A/x26342.dat")));
    EXPECT_TRUE(Exists(root_.Posix("c/A/y.txt")));

    // Neither "_" nor ".": every file of the directory.
    DataFile("c/B/one", "1", old);
    DataFile("c/B/two.log", "2", old);
    engine_->CompressMatchingFiles(P("C:\\B").c_str(), "data<YYJJJHH>");
    EXPECT_STREQ(engine_->FilePattern, "*");
    EXPECT_TRUE(Exists(root_.Posix("c/B/one.zip")));
    EXPECT_TRUE(Exists(root_.Posix("c/B/two.zip")));
    EXPECT_FALSE(Exists(root_.Posix("c/B/one")));
    EXPECT_FALSE(Exists(root_.Posix("c/B/two.log")));
}

// The archives of an earlier run, once old enough themselves, are never zipped into
// themselves and never deleted: the run reports the archive as an error and goes on with the
// other files, which are zipped and deleted as usual.
TEST_F(CompressionTest, OldArchivesAreNeverLost) {
    const uint64_t old = FileTimeOf(2026, 12, 8, 10, 0, 0);
    engine_->CompressionThreshold = {static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0)),
                                     static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0) >> 32)};
    DataFile("c/B/one", "1", old);
    engine_->CompressMatchingFiles(P("C:\\B").c_str(), "data<YYJJJHH>");
    ASSERT_TRUE(Exists(root_.Posix("c/B/one.zip")));
    const std::string archive = ReadBytes(root_.Posix("c/B/one.zip"));
    ASSERT_TRUE(SetModified(root_.Posix("c/B/one.zip"), old));
    DataFile("c/B/two", "2", old);
    engine_->CompressMatchingFiles(P("C:\\B").c_str(), "data<YYJJJHH>");
    EXPECT_EQ(ReadBytes(root_.Posix("c/B/one.zip")), archive);
    EXPECT_FALSE(Exists(root_.Posix("c/B/two")));
    EXPECT_EQ(Member("C:\\B\\two.zip", "two"), "2");
    std::vector<std::string> reports = LogLines(Logs(), "5009");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find(P(
                  ". Error zipping C:\\B\\one.zip to C:\\B\\one.zip. A zip file cannot be added to itself.")),
              std::string::npos)
        << reports[1];
}

// A file zipped and deleted, then written again under the same name with less and other
// content (a clock stepped back, a replay): rule 2 does not re-add it, so it must stay, and
// the report says so. The archive keeps the first copy.
TEST_F(CompressionTest, ARecreatedSmallerFileIsKeptWithItsNewContents) {
    const uint64_t old = FileTimeOf(2026, 12, 8, 12, 30, 0);
    engine_->CompressionThreshold = {static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0)),
                                     static_cast<DWORD>(FileTimeOf(2026, 12, 8, 14, 0, 0) >> 32)};
    DataFile("c/Data/lab02634212_raw.txt", "first hour, the whole of it\r\n", old);
    engine_->CompressMatchingFiles(P("C:\\Data").c_str(), "lab0<YYJJJHH>_raw.txt");
    ASSERT_FALSE(Exists(root_.Posix("c/Data/lab02634212_raw.txt")));
    const std::string archive = ReadBytes(root_.Posix("c/Data/lab02634212_raw.zip"));

    DataFile("c/Data/lab02634212_raw.txt", "replayed\r\n", old);
    engine_->CompressMatchingFiles(P("C:\\Data").c_str(), "lab0<YYJJJHH>_raw.txt");
    EXPECT_EQ(ReadBytes(root_.Posix("c/Data/lab02634212_raw.txt")), "replayed\r\n");
    EXPECT_EQ(ReadBytes(root_.Posix("c/Data/lab02634212_raw.zip")), archive);
    std::vector<std::string> reports = LogLines(Logs(), "5009");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(
        reports[1].find(P("Metek1: Zipping C:\\Data\\*_raw.txt to C:\\Data. Operation successful. Kept "
                          "C:\\Data\\lab02634212_raw.txt, not verified in C:\\Data\\lab02634212_raw.zip: ")),
        std::string::npos)
        << reports[1];

    // Grown past the archived copy, it is re-added by the rule and then deleted.
    DataFile("c/Data/lab02634212_raw.txt", "replayed, and now longer than the first copy\r\n", old);
    engine_->CompressMatchingFiles(P("C:\\Data").c_str(), "lab0<YYJJJHH>_raw.txt");
    EXPECT_FALSE(Exists(root_.Posix("c/Data/lab02634212_raw.txt")));
    EXPECT_EQ(Member("C:\\Data\\lab02634212_raw.zip", "lab02634212_raw.txt"),
              "replayed, and now longer than the first copy\r\n");
}

// An archive of 0 bytes (a crash) is an empty archive; a corrupt one is left alone with its
// file. The files beside them are zipped and deleted all the same, and the run's report names
// the corrupt archive instead of ending in success.
TEST_F(CompressionTest, BadArchivesDoNotHoldUpTheOtherFiles) {
    const uint64_t old = FileTimeOf(2026, 12, 8, 12, 0, 0);
    DataFile("c/Data/lab02634210_raw.txt", "ten\r\n", old);
    DataFile("c/Data/lab02634211_raw.txt", "eleven\r\n", old);
    DataFile("c/Data/lab02634212_raw.txt", "twelve\r\n", old);
    WriteBytes(root_.Posix("c/Data/lab02634210_raw.zip"), "");
    WriteBytes(root_.Posix("c/Data/lab02634211_raw.zip"), "PK\x05\x06 not the end of any archive");
    const std::string corrupt = ReadBytes(root_.Posix("c/Data/lab02634211_raw.zip"));
    engine_->StatsArchiveDirectory[0] = '\0';

    EXPECT_EQ(RunThread(), 0u);

    EXPECT_FALSE(Exists(root_.Posix("c/Data/lab02634210_raw.txt")));
    EXPECT_FALSE(Exists(root_.Posix("c/Data/lab02634212_raw.txt")));
    EXPECT_EQ(ReadBytes(root_.Posix("c/Data/lab02634211_raw.txt")), "eleven\r\n");
    EXPECT_EQ(ReadBytes(root_.Posix("c/Data/lab02634211_raw.zip")), corrupt);
    EXPECT_EQ(Member("C:\\Data\\lab02634210_raw.zip", "lab02634210_raw.txt"), "ten\r\n");
    EXPECT_EQ(Member("C:\\Data\\lab02634212_raw.zip", "lab02634212_raw.txt"), "twelve\r\n");
    std::vector<std::string> reports = LogLines(Logs(), "5009");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find(P("Metek1: Zipping C:\\Data\\*_raw.txt to C:\\Data. Error zipping "
                                "C:\\Data\\lab02634211_raw.txt to C:\\Data\\lab02634211_raw.zip. ")),
              std::string::npos)
        << reports[0];
    EXPECT_EQ(reports[0].find("Operation successful"), std::string::npos) << reports[0];
    // Named once: the kept file is not listed again by the delete pass.
    EXPECT_EQ(reports[0].find("Kept"), std::string::npos) << reports[0];
}

}  // namespace
