// ProcessFiles and CopyFileByRule: batch delete, copy, move, zip and unzip with their reports.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "support/ZipUtil.h"
#include "support/ZipUtility.h"

namespace {

using namespace ziptest;

constexpr FILETIME AllStart = {0, 0};
constexpr FILETIME AllEnd = {0xFFFFFFFFu, 0x7FFFFFFFu};

FILETIME AsFileTime(uint64_t value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// A text with its drive paths ("C:\\data") taken below the test root; the same text on Linux,
// where the platform layer maps them.
std::string InRoot(const TestRoot &root, const std::string &text) {
    const std::string drive = root.Drive("C:\\");
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

bool EndsWith(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ProcessFilesTest : public ::testing::Test {
protected:
    DWORD Process(FileAction action, const char *source, const char *pattern, const char *destination,
                  const char *target, OverwriteRule rule, FILETIME start = AllStart, FILETIME end = AllEnd) {
        std::memset(report_, 0, sizeof report_);
        return ProcessFiles(action, source, pattern, destination, target, rule, start, end, report_,
                            sizeof report_);
    }
    std::string Report() const { return report_; }
    std::string P(const std::string &text) const { return InRoot(root_, text); }

    // The items of an archive as the zip library extracts them (into a folder of its own):
    // file name -> contents.
    std::map<std::string, std::string> Members(const std::string &archive) {
        const std::string number = std::to_string(extractions_++);
        const std::string folder = root_.Posix("c/members" + number);
        std::filesystem::create_directories(folder);
        std::map<std::string, std::string> files;
        ZipUtil zip(P(archive).c_str());
        if (zip.ExtractAll(P("C:\\members" + number).c_str(), OverwriteAlways) != 0)
            return files;
        for (auto &entry : std::filesystem::directory_iterator(folder))
            files[entry.path().filename().string()] = ReadBytes(entry.path().string());
        return files;
    }

    TestRoot root_;
    char report_[1000];
    int extractions_ = 0;
};

TEST_F(ProcessFilesTest, ZipsEachFileIntoAnArchiveOfItsOwn) {
    WriteBytes(root_.Posix("c/data/lab02634213_raw.txt"), "raw 13\r\n");
    WriteBytes(root_.Posix("c/data/lab02634214_raw.txt"), "raw 14\r\n");
    WriteBytes(root_.Posix("c/data/lab02634214_stats.txt"), "stats\r\n");
    EXPECT_EQ(
        Process(ActionZip, P("C:\\data").c_str(), "*_raw.txt", P("C:\\data").c_str(), "", OverwriteIfSmaller),
        0u);
    EXPECT_EQ(Report(), P("Zipping C:\\data\\*_raw.txt to C:\\data. Operation successful.").c_str());
    EXPECT_TRUE(Exists(root_.Posix("c/data/lab02634213_raw.zip")));
    EXPECT_TRUE(Exists(root_.Posix("c/data/lab02634214_raw.zip")));
    EXPECT_FALSE(Exists(root_.Posix("c/data/lab02634214_stats.zip")));
    // The sources stay; zipping does not delete.
    EXPECT_TRUE(Exists(root_.Posix("c/data/lab02634213_raw.txt")));
    EXPECT_EQ(Members("C:\\data\\lab02634213_raw.zip"),
              (std::map<std::string, std::string>{{"lab02634213_raw.txt", "raw 13\r\n"}}));
    EXPECT_EQ(Members("C:\\data\\lab02634214_raw.zip"),
              (std::map<std::string, std::string>{{"lab02634214_raw.txt", "raw 14\r\n"}}));
}

TEST_F(ProcessFilesTest, NoMatchReturnsTheSearchError) {
    std::filesystem::create_directories(root_.Posix("c/data"));
    DWORD result = Process(ActionDelete, P("C:\\data").c_str(), "*.none", nullptr, nullptr, OverwriteAlways);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Report(), P("Deleting C:\\data\\*.none to . Error: No source files exist.").c_str());
}

TEST_F(ProcessFilesTest, WildcardTargetIsRefusedBeforeAnythingIsTouched) {
    WriteBytes(root_.Posix("c/data/a.txt"), "a");
    std::memset(report_, 'r', sizeof report_);
    report_[sizeof report_ - 1] = '\0';
    const std::string untouched = report_;
    EXPECT_EQ(ProcessFiles(ActionMove, P("C:\\data").c_str(), "*.txt", P("C:\\out").c_str(), "b?.txt",
                           OverwriteAlways, AllStart, AllEnd, report_, sizeof report_),
              1006u);
    EXPECT_EQ(Report(), untouched);
    EXPECT_TRUE(Exists(root_.Posix("c/data/a.txt")));
    EXPECT_EQ(Process(ActionCopy, P("C:\\data").c_str(), "*.txt", P("C:\\out").c_str(), "*", OverwriteAlways),
              1006u);
}

TEST_F(ProcessFilesTest, UncreatableDestinationReturns82) {
    WriteBytes(root_.Posix("c/data/a.txt"), "a");
    WriteBytes(root_.Posix("c/plain"), "a file where a folder should be");
    EXPECT_EQ(Process(ActionCopy, P("C:\\data").c_str(), "*.txt", P("C:\\plain\\sub").c_str(), nullptr,
                      OverwriteAlways),
              82u);
    const std::string prefix = P("Error preparing C:\\plain\\sub. ");
    EXPECT_EQ(Report().substr(0, prefix.size()), prefix);
    EXPECT_TRUE(Exists(root_.Posix("c/data/a.txt")));
}

TEST_F(ProcessFilesTest, MissingDestinationIsCreated) {
    WriteBytes(root_.Posix("c/data/a.txt"), "a");
    EXPECT_EQ(Process(ActionCopy, P("C:\\data").c_str(), "*.txt", P("C:\\out\\day").c_str(), nullptr,
                      OverwriteAlways),
              0u);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/day/a.txt")), "a");
}

// Both ends of the window are inside it; one time unit outside is not.
TEST_F(ProcessFilesTest, TimeWindowIncludesItsEnds) {
    const uint64_t start = FileTimeOf(2026, 12, 8, 14, 0, 0);
    const uint64_t end = FileTimeOf(2026, 12, 8, 15, 0, 0);
    const struct {
        const char *Name;
        uint64_t Time;
        bool Selected;
    } files[] = {{"before.dat", start - 1, false},
                 {"start.dat", start, true},
                 {"inside.dat", start + 600 * 10000000ull, true},
                 {"end.dat", end, true},
                 {"after.dat", end + 1, false}};
    for (const auto &f : files) {
        WriteBytes(root_.Posix(std::string("c/data/") + f.Name), f.Name);
        ASSERT_TRUE(SetModified(root_.Posix(std::string("c/data/") + f.Name), f.Time));
    }
    EXPECT_EQ(Process(ActionDelete, P("C:\\data").c_str(), "*.dat", nullptr, nullptr, OverwriteAlways,
                      AsFileTime(start), AsFileTime(end)),
              0u);
    for (const auto &f : files)
        EXPECT_EQ(Exists(root_.Posix(std::string("c/data/") + f.Name)), !f.Selected) << f.Name;
    EXPECT_EQ(Report(),
              P("Deleting C:\\data\\*.dat to  TimeFilter: 12/08/26 14:00:00 - 12/08/26 15:00:00. Operation "
                "successful."));
}

TEST_F(ProcessFilesTest, DeleteWithoutReportWritesNothing) {
    WriteBytes(root_.Posix("c/data/a.log"), "a");
    WriteBytes(root_.Posix("c/data/b.log"), "b");
    char buffer[64];
    std::memset(buffer, 'k', sizeof buffer);
    EXPECT_EQ(ProcessFiles(ActionDelete, P("C:\\data").c_str(), "a.*", nullptr, nullptr, OverwriteAlways,
                           AllStart, AllEnd, buffer, 0),
              0u);
    for (char c : buffer)
        ASSERT_EQ(c, 'k');
    EXPECT_EQ(ProcessFiles(ActionDelete, P("C:\\data").c_str(), "b.*", nullptr, nullptr, OverwriteAlways,
                           AllStart, AllEnd, nullptr, 500),
              0u);
    EXPECT_FALSE(Exists(root_.Posix("c/data/a.log")));
    EXPECT_FALSE(Exists(root_.Posix("c/data/b.log")));
}

TEST_F(ProcessFilesTest, CopyRuleNeverOntoAnExistingTargetSucceedsAndKeepsIt) {
    WriteBytes(root_.Posix("c/data/a.txt"), "new contents");
    WriteBytes(root_.Posix("c/out/a.txt"), "old");
    EXPECT_EQ(
        Process(ActionCopy, P("C:\\data").c_str(), "a.txt", P("C:\\out").c_str(), nullptr, OverwriteNever),
        0u);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/a.txt")), "old");
    EXPECT_EQ(Report(), P("Copying C:\\data\\a.txt to C:\\out. Operation successful.").c_str());
    EXPECT_EQ(
        Process(ActionCopy, P("C:\\data").c_str(), "a.txt", P("C:\\out").c_str(), "b.txt", OverwriteNever),
        0u);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/b.txt")), "new contents");
    EXPECT_EQ(Report(), P("Copying C:\\data\\a.txt to C:\\out\\b.txt. Operation successful.").c_str());
}

TEST_F(ProcessFilesTest, FailedCopyStopsWithItsText) {
    WriteBytes(root_.Posix("c/data/a.txt"), "a");
    std::filesystem::create_directories(root_.Posix("c/out/t.txt"));  // a folder in the target's place
    DWORD result =
        Process(ActionCopy, P("C:\\data").c_str(), "a.txt", P("C:\\out").c_str(), "t.txt", OverwriteAlways);
    EXPECT_NE(result, 0u);
    EXPECT_NE(
        Report().find(P(
            "Copying C:\\data\\a.txt to C:\\out\\t.txt. Error copying C:\\data\\a.txt to C:\\out\\t.txt. ")),
        std::string::npos)
        << Report();
    EXPECT_EQ(Report().find("Operation successful"), std::string::npos);
}

// A move deletes the source after the copy step; a rule beyond the known ones copies
// nothing and must not lose the source.
TEST_F(ProcessFilesTest, MoveDeletesOnlyWhatWasCopied) {
    WriteBytes(root_.Posix("c/data/a.txt"), "a");
    EXPECT_EQ(Process(ActionMove, P("C:\\data").c_str(), "a.txt", P("C:\\out").c_str(), nullptr,
                      static_cast<OverwriteRule>(7)),
              0u);
    EXPECT_TRUE(Exists(root_.Posix("c/data/a.txt")));
    EXPECT_FALSE(Exists(root_.Posix("c/out/a.txt")));
    EXPECT_EQ(
        Process(ActionMove, P("C:\\data").c_str(), "a.txt", P("C:\\out").c_str(), nullptr, OverwriteAlways),
        0u);
    EXPECT_FALSE(Exists(root_.Posix("c/data/a.txt")));
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/a.txt")), "a");
    EXPECT_EQ(Report(), P("Moving C:\\data\\a.txt to C:\\out. Operation successful.").c_str());
}

// A move deletes its source only when the target holds the source's bytes afterwards:
// copied, or equal already. A target the rule kept with other contents keeps the source, and
// the move fails with "The file exists".
TEST_F(ProcessFilesTest, MoveKeepsItsSourceWhenTheRuleKeptAnotherTarget) {
    WriteBytes(root_.Posix("c/data/a.txt"), "source");
    WriteBytes(root_.Posix("c/out/a.txt"), "other target, longer");
    for (OverwriteRule rule : {OverwriteNever, OverwriteIfSmaller}) {
        EXPECT_EQ(Process(ActionMove, P("C:\\data").c_str(), "a.txt", P("C:\\out").c_str(), nullptr, rule),
                  static_cast<DWORD>(ERROR_FILE_EXISTS))
            << static_cast<int>(rule);
        EXPECT_EQ(ReadBytes(root_.Posix("c/data/a.txt")), "source");
        EXPECT_EQ(ReadBytes(root_.Posix("c/out/a.txt")), "other target, longer");
        EXPECT_NE(Report().find(P("Moving C:\\data\\a.txt to C:\\out. Error moving C:\\data\\a.txt to "
                                  "C:\\out\\a.txt. ")),
                  std::string::npos)
            << Report();
        EXPECT_EQ(Report().find("Operation successful"), std::string::npos);
    }
    // A target that already holds the same bytes: the source goes.
    WriteBytes(root_.Posix("c/out/a.txt"), "source");
    EXPECT_EQ(
        Process(ActionMove, P("C:\\data").c_str(), "a.txt", P("C:\\out").c_str(), nullptr, OverwriteNever),
        0u);
    EXPECT_FALSE(Exists(root_.Posix("c/data/a.txt")));
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/a.txt")), "source");
}

// Zipping goes on past an archive that cannot be read; the report names it and the result
// is its failure. The unreadable archive is left as it was.
TEST_F(ProcessFilesTest, ZipGoesOnPastACorruptArchive) {
    WriteBytes(root_.Posix("c/data/a.txt"), "alpha");
    WriteBytes(root_.Posix("c/data/b.txt"), "beta");
    WriteBytes(root_.Posix("c/data/c.txt"), "gamma");
    WriteBytes(root_.Posix("c/data/b.zip"), "PK\x03\x04 and then nothing a zip file holds");
    const std::string corrupt = ReadBytes(root_.Posix("c/data/b.zip"));
    DWORD result =
        Process(ActionZip, P("C:\\data").c_str(), "*.txt", P("C:\\data").c_str(), "", OverwriteIfSmaller);
    EXPECT_NE(result, 0u);
    EXPECT_NE(Report().find(P("Zipping C:\\data\\*.txt to C:\\data. Error zipping C:\\data\\b.txt to "
                              "C:\\data\\b.zip. ")),
              std::string::npos)
        << Report();
    EXPECT_EQ(Report().find("Operation successful"), std::string::npos);
    EXPECT_EQ(ReadBytes(root_.Posix("c/data/b.zip")), corrupt);
    EXPECT_TRUE(Exists(root_.Posix("c/data/a.zip")));
    EXPECT_TRUE(Exists(root_.Posix("c/data/c.zip")));
}

// The delete half of compressing: each file goes only when its archive holds its bytes as
// they are just before the delete. A file changed after its add, and a file that turned up
// after the zip pass, are kept and named.
TEST_F(ProcessFilesTest, DeleteZippedFilesKeepsWhatNoArchiveHolds) {
    WriteBytes(root_.Posix("c/data/a_raw.txt"), "alpha");
    WriteBytes(root_.Posix("c/data/b_raw.txt"), "beta");
    ASSERT_EQ(
        Process(ActionZip, P("C:\\data").c_str(), "*_raw.txt", P("C:\\data").c_str(), "", OverwriteIfSmaller),
        0u);
    WriteBytes(root_.Posix("c/data/b_raw.txt"), "BETA");          // changed between the add and the delete
    WriteBytes(root_.Posix("c/data/c_raw.txt"), "late arrival");  // turned up between the passes
    std::string report = "Zipping. Operation successful.";
    char buffer[1000];
    snprintf(buffer, sizeof buffer, "%s", report.c_str());
    DWORD result =
        DeleteZippedFiles(P("C:\\data").c_str(), "*_raw.txt", AllStart, AllEnd, buffer, sizeof buffer);
    EXPECT_NE(result, 0u);
    EXPECT_FALSE(Exists(root_.Posix("c/data/a_raw.txt")));
    EXPECT_EQ(ReadBytes(root_.Posix("c/data/b_raw.txt")), "BETA");
    EXPECT_EQ(ReadBytes(root_.Posix("c/data/c_raw.txt")), "late arrival");
    const std::string text = buffer;
    EXPECT_EQ(text.substr(0, report.size()), report);
    EXPECT_NE(text.find(P(" Kept C:\\data\\b_raw.txt, not verified in C:\\data\\b_raw.zip: ")),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(P(" Kept C:\\data\\c_raw.txt, not verified in C:\\data\\c_raw.zip: ")),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("a_raw.txt"), std::string::npos) << text;
    // The archives stay; a later pass with nothing to keep returns 0.
    EXPECT_TRUE(Exists(root_.Posix("c/data/a_raw.zip")));
    WriteBytes(root_.Posix("c/data/b_raw.txt"), "beta");
    ASSERT_TRUE(std::filesystem::remove(root_.Posix("c/data/c_raw.txt")));
    EXPECT_EQ(DeleteZippedFiles(P("C:\\data").c_str(), "*_raw.txt", AllStart, AllEnd, nullptr, 0), 0u);
    EXPECT_FALSE(Exists(root_.Posix("c/data/b_raw.txt")));
}

// The archive name: the file name's extension becomes .zip, a name without one gets .zip
// appended, a .zip name stays; a dot in a folder name plays no part.
TEST_F(ProcessFilesTest, ZipExtensionRule) {
    WriteBytes(root_.Posix("c/my.data/a.txt"), "a");
    WriteBytes(root_.Posix("c/my.data/b.txt"), "b");
    WriteBytes(root_.Posix("c/my.data/noext"), "n");
    std::filesystem::create_directories(root_.Posix("c/z.out"));
    EXPECT_EQ(Process(ActionZip, P("C:\\my.data").c_str(), "*", P("C:\\z.out").c_str(), "", OverwriteAlways),
              0u);
    EXPECT_TRUE(Exists(root_.Posix("c/z.out/a.zip")));
    EXPECT_TRUE(Exists(root_.Posix("c/z.out/b.zip")));
    EXPECT_TRUE(Exists(root_.Posix("c/z.out/noext.zip")));
    EXPECT_FALSE(Exists(root_.Posix("c/z.zip")));

    EXPECT_EQ(Process(ActionZip, P("C:\\my.data").c_str(), "*.txt", P("C:\\out").c_str(), "day.txt",
                      OverwriteAlways),
              0u);
    EXPECT_EQ(Report(), P("Zipping C:\\my.data\\*.txt to C:\\out\\day.txt. Operation successful.").c_str());
    EXPECT_EQ(
        Process(ActionZip, P("C:\\my.data").c_str(), "*.txt", P("C:\\out").c_str(), "plain", OverwriteAlways),
        0u);
    EXPECT_EQ(Process(ActionZip, P("C:\\my.data").c_str(), "*.txt", P("C:\\out").c_str(), "kept.zip",
                      OverwriteAlways),
              0u);
    EXPECT_TRUE(Exists(root_.Posix("c/out/day.zip")));
    EXPECT_TRUE(Exists(root_.Posix("c/out/plain.zip")));
    EXPECT_TRUE(Exists(root_.Posix("c/out/kept.zip")));
    // A fixed name gathers every file in one archive.
    EXPECT_EQ(Members("C:\\out\\day.zip"),
              (std::map<std::string, std::string>{{"a.txt", "a"}, {"b.txt", "b"}}));
}

// An old archive picked up by a wide pattern is not added to itself.
TEST_F(ProcessFilesTest, AnArchiveIsNotZippedIntoItself) {
    WriteBytes(root_.Posix("c/data/old.txt"), "old");
    ASSERT_EQ(
        Process(ActionZip, P("C:\\data").c_str(), "old.txt", P("C:\\data").c_str(), "", OverwriteAlways), 0u);
    const std::string archive = ReadBytes(root_.Posix("c/data/old.zip"));
    DWORD result =
        Process(ActionZip, P("C:\\data").c_str(), "old.zip", P("C:\\data").c_str(), "", OverwriteAlways);
    EXPECT_NE(result, 0u);
    EXPECT_NE(Report().find(P(". Error zipping C:\\data\\old.zip to C:\\data\\old.zip. ")), std::string::npos)
        << Report();
    EXPECT_EQ(ReadBytes(root_.Posix("c/data/old.zip")), archive);
}

TEST_F(ProcessFilesTest, UnzipExtractsEachArchive) {
    WriteBytes(root_.Posix("c/data/a.txt"), "alpha");
    WriteBytes(root_.Posix("c/data/b.txt"), "beta");
    ASSERT_EQ(Process(ActionZip, P("C:\\data").c_str(), "*.txt", P("C:\\zips").c_str(), "", OverwriteAlways),
              0u);
    EXPECT_EQ(
        Process(ActionUnzip, P("C:\\zips").c_str(), "*.zip", P("C:\\back").c_str(), nullptr, OverwriteAlways),
        0u);
    EXPECT_EQ(Report(), P("Unzipping C:\\zips\\*.zip to C:\\back. Operation successful.").c_str());
    EXPECT_EQ(ReadBytes(root_.Posix("c/back/a.txt")), "alpha");
    EXPECT_EQ(ReadBytes(root_.Posix("c/back/b.txt")), "beta");
    // The extracted files keep their modification times.
    EXPECT_EQ(Modified(root_.Posix("c/back/a.txt")), Modified(root_.Posix("c/data/a.txt")));
}

TEST_F(ProcessFilesTest, UnzipOfABrokenArchiveReportsTheLibraryText) {
    WriteBytes(root_.Posix("c/zips/bad.zip"), "PK but not really");
    DWORD result =
        Process(ActionUnzip, P("C:\\zips").c_str(), "*.zip", P("C:\\back").c_str(), nullptr, OverwriteAlways);
    EXPECT_NE(result, 0u);
    const std::string expected =
        P("Unzipping C:\\zips\\*.zip to C:\\back. Error unzipping C:\\zips\\bad.zip to C:\\back. ");
    EXPECT_EQ(Report().substr(0, expected.size()), expected);
    EXPECT_GT(Report().size(), expected.size());
}

TEST_F(ProcessFilesTest, TextLimits) {
    std::filesystem::create_directories(root_.Posix("c/data"));
    const std::string longName(300, 'p');
    EXPECT_EQ(
        Process(ActionDelete, P("C:\\data").c_str(), longName.c_str(), nullptr, nullptr, OverwriteAlways),
        14u);
    EXPECT_EQ(Process(ActionCopy, P("C:\\data").c_str(), "*", P("C:\\data").c_str(), longName.c_str(),
                      OverwriteAlways),
              14u);
    const std::string folder = "C:\\" + std::string(200, 'f');
    const std::string target(120, 't');
    EXPECT_EQ(
        Process(ActionCopy, P("C:\\data").c_str(), "*", folder.c_str(), target.c_str(), OverwriteAlways),
        14u);
    const std::string pattern(250, 'q');
    const std::string source = "C:\\" + std::string(60, 's');
    EXPECT_EQ(Process(ActionDelete, source.c_str(), pattern.c_str(), nullptr, nullptr, OverwriteAlways),
              234u);
    EXPECT_TRUE(EndsWith(Report(), ". Error: No source files exist."));
    EXPECT_EQ(Process(ActionDelete, ("C:\\" + longName).c_str(), "*", nullptr, nullptr, OverwriteAlways),
              14u);
}

// The report never exceeds the caller's capacity.
TEST_F(ProcessFilesTest, ReportIsBoundedByItsCapacity) {
    WriteBytes(root_.Posix("c/data/a.txt"), "a");
    char buffer[40];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(ProcessFiles(ActionCopy, P("C:\\data").c_str(), "*.txt", P("C:\\out").c_str(), nullptr,
                           OverwriteAlways, AllStart, AllEnd, buffer, 20),
              0u);
    EXPECT_EQ(
        std::string(buffer),
        std::string(P("Copying C:\\data\\*.txt to C:\\out. Operation successful.").c_str()).substr(0, 19));
    for (size_t i = 20; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], '#');
}

// Folders, patterns and target names are templates expanded with the current UTC time; the
// report shows the pattern and target name as given.
TEST_F(ProcessFilesTest, TemplatesAreExpanded) {
    auto utcYear = [] {
        time_t now = time(nullptr);
        return std::to_string(std::gmtime(&now)->tm_year + 1900);
    };
    const std::string year = utcYear();
    WriteBytes(root_.Posix("c/d" + year + "/x" + year + ".txt"), "x");
    DWORD result = Process(ActionCopy, P("C:\\d<YYYY>").c_str(), "x<YYYY>.txt", P("C:\\o<YYYY>").c_str(),
                           "y<YYYY>.txt", OverwriteAlways);
    if (utcYear() != year)
        GTEST_SKIP() << "the year turned during the test";
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(ReadBytes(root_.Posix("c/o" + year + "/y" + year + ".txt")), "x");
    EXPECT_EQ(Report(), P("Copying C:\\d" + year + "\\x<YYYY>.txt to C:\\o" + year +
                          "\\y<YYYY>.txt. Operation successful."));
}

TEST(CopyFileByRule, RulesCompareSizesAndTimes) {
    TestRoot root;
    auto P = [&](const std::string &text) { return InRoot(root, text); };
    const uint64_t t = FileTimeOf(2026, 12, 8, 14, 0, 0);
    WriteBytes(root.Posix("c/s.txt"), "12345");
    ASSERT_TRUE(SetModified(root.Posix("c/s.txt"), t));
    auto target = [&](const std::string &contents, uint64_t time) {
        WriteBytes(root.Posix("c/t.txt"), contents);
        SetModified(root.Posix("c/t.txt"), time);
    };
    auto copied = [&]() { return ReadBytes(root.Posix("c/t.txt")) == "12345"; };

    target("123", t);
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfSmaller), 0u);
    EXPECT_TRUE(copied());
    target("1234567", t);
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfSmaller), 0u);
    EXPECT_FALSE(copied());
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfLarger), 0u);
    EXPECT_TRUE(copied());
    target("older", t - 1);
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfNewer), 0u);
    EXPECT_FALSE(copied());
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfOlder), 0u);
    EXPECT_TRUE(copied());
    target("newer", t + 1);
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfOlder), 0u);
    EXPECT_FALSE(copied());
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfNewer), 0u);
    EXPECT_TRUE(copied());

    // A missing target is written; a missing source is 1006; unknown rules do nothing.
    EXPECT_EQ(CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\new.txt").c_str(), OverwriteIfLarger), 0u);
    EXPECT_EQ(ReadBytes(root.Posix("c/new.txt")), "12345");
    EXPECT_EQ(CopyFileByRule(P("C:\\none.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteIfSmaller), 1006u);
    EXPECT_EQ(
        CopyFileByRule(P("C:\\s.txt").c_str(), P("C:\\other.txt").c_str(), static_cast<OverwriteRule>(9)),
        0u);
    EXPECT_FALSE(Exists(root.Posix("c/other.txt")));
    EXPECT_NE(CopyFileByRule(P("C:\\none.txt").c_str(), P("C:\\t.txt").c_str(), OverwriteAlways), 0u);
}

}  // namespace
