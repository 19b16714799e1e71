// The run-time zip library through its function table, as the program calls it.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "platform/win32.h"
#include "support/FileChecksum.h"
#include "support/ZipLibraryFixture.h"

namespace {

using namespace ziptest;

TEST_F(ZipLibrary, AddStoresTheFileDeflatedUnderItsNameWithItsTime) {
    const std::string contents(5000, 'a');
    WriteBytes(root_.Posix("c/data/lab02634214_raw.txt"), contents);
    // 8 December 2026 14:30:05.250 UTC; the test runs in the machine's time zone.
    const uint64_t written = FileTimeOf(2026, 12, 8, 14, 30, 5) + 2500000;
    ASSERT_TRUE(SetModified(root_.Posix("c/data/lab02634214_raw.txt"), written));

    ASSERT_EQ(Add("C:\\data\\lab02634214_raw.zip", "C:\\data", "lab02634214_raw.txt"), 0);

    // One local header under the plain name, deflated (method 8), smaller than the file.
    const std::string archive = ReadBytes(root_.Posix("c/data/lab02634214_raw.zip"));
    ASSERT_GT(archive.size(), 30u);
    EXPECT_EQ(archive.substr(0, 4), std::string("PK\x03\x04"));
    EXPECT_EQ(archive[8], 8);
    EXPECT_EQ(archive.substr(30, 19), "lab02634214_raw.txt");
    EXPECT_LT(archive.size(), contents.size());

    int result = -1;
    std::vector<Item> items = List("C:\\data\\lab02634214_raw.zip", &result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Name, "lab02634214_raw.txt");
    EXPECT_EQ(items[0].Size, 5000u);
    // The record's time is local time, to the millisecond.
    FILETIME utc = {static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
    FILETIME local;
    SYSTEMTIME expected;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &expected));
    EXPECT_EQ(items[0].Time.wYear, expected.wYear);
    EXPECT_EQ(items[0].Time.wMonth, expected.wMonth);
    EXPECT_EQ(items[0].Time.wDay, expected.wDay);
    EXPECT_EQ(items[0].Time.wHour, expected.wHour);
    EXPECT_EQ(items[0].Time.wMinute, expected.wMinute);
    EXPECT_EQ(items[0].Time.wSecond, expected.wSecond);
    EXPECT_EQ(items[0].Time.wMilliseconds, 250);
}

// Beyond the three fields the program's record defines, the listing gives, behind the
// signature "XZI1" at 1328: the CRC-32, the 64-bit size and the exact UTC time with its flags.
TEST_F(ZipLibrary, ListingGivesCrcFullSizeAndUtcTime) {
    std::string contents;
    for (int i = 0; i < 3000; ++i)
        contents += std::to_string(i * 31) + " ";
    WriteBytes(root_.Posix("c/d/a.txt"), contents);
    const uint64_t written = FileTimeOf(2026, 7, 8, 14, 30, 5) + 1234567;
    ASSERT_TRUE(SetModified(root_.Posix("c/d/a.txt"), written));
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "a.txt"), 0);

    Text(130, D("C:\\d\\x.zip").c_str());
    void *listing = nullptr;
    ASSERT_EQ(reinterpret_cast<StartListingFn>(table_[202])(zip_, &listing), 0);
    unsigned char record[RecordSize];
    ASSERT_NE(reinterpret_cast<ItemFn>(table_[204])(listing, record), 0);
    reinterpret_cast<HandleFn>(table_[201])(listing);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(record + 1328), 4), "XZI1");
    uint32_t crc, flags;
    uint64_t size, time;
    std::memcpy(&crc, record + 1332, 4);
    std::memcpy(&size, record + 1336, 8);
    std::memcpy(&time, record + 1344, 8);
    std::memcpy(&flags, record + 1352, 4);
    EXPECT_EQ(crc, Crc32Update(0, contents.data(), contents.size()));
    EXPECT_EQ(size, contents.size());
    EXPECT_EQ(time, written);
    EXPECT_EQ(flags, 3u);  // known and exact
}

// An archive file of 0 bytes lists as an empty archive and takes an add.
TEST_F(ZipLibrary, AnEmptyArchiveFileIsAnEmptyArchive) {
    WriteBytes(root_.Posix("c/d/x.zip"), "");
    int result = -1;
    EXPECT_TRUE(List("C:\\d\\x.zip", &result).empty());
    EXPECT_EQ(result, 0);
    std::filesystem::create_directories(root_.Posix("c/out"));
    EXPECT_NE(Extract("C:\\d\\x.zip", "a.txt", "C:\\out"), 0);
    WriteBytes(root_.Posix("c/d/a.txt"), "payload");
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "a.txt"), 0);
    std::vector<Item> items = List("C:\\d\\x.zip", &result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Name, "a.txt");
}

TEST_F(ZipLibrary, ReplacingAnItemOfTheSameNameKeepsOneItem) {
    WriteBytes(root_.Posix("c/d/a.txt"), "first");
    WriteBytes(root_.Posix("c/d/b.txt"), "other");
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "a.txt"), 0);
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "b.txt"), 0);
    WriteBytes(root_.Posix("c/d/a.txt"), "second, longer");
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "a.txt"), 0);

    int result = -1;
    std::vector<Item> items = List("C:\\d\\x.zip", &result);
    ASSERT_EQ(result, 0);
    std::set<std::string> names;
    for (const Item &i : items)
        names.insert(i.Name);
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "b.txt"}));
    std::filesystem::create_directories(root_.Posix("c/out"));
    ASSERT_EQ(Extract("C:\\d\\x.zip", "a.txt", "C:\\out"), 0);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/a.txt")), "second, longer");
    ASSERT_EQ(Extract("C:\\d\\x.zip", "b.txt", "C:\\out"), 0);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/b.txt")), "other");
}

// The listing fills exactly the 1380 bytes of the record, folder parts with backslashes.
TEST_F(ZipLibrary, ListingWritesNothingBeyondTheRecord) {
    const std::string longName = std::string(1400, 'n');
    ASSERT_TRUE(BuildArchive(root_.Posix("c/d/x.zip"), {{"sub/inner.txt", "abc"}, {longName, "x"}}));
    Text(130, D("C:\\d\\x.zip").c_str());
    void *listing = nullptr;
    ASSERT_EQ(reinterpret_cast<StartListingFn>(table_[202])(zip_, &listing), 0);
    unsigned char record[RecordSize + 64];
    std::memset(record, 0xA5, sizeof record);
    ASSERT_NE(reinterpret_cast<ItemFn>(table_[204])(listing, record), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(record + 8), "sub\\inner.txt");
    uint32_t size;
    std::memcpy(&size, record + 1292, 4);
    EXPECT_EQ(size, 3u);
    ASSERT_NE(reinterpret_cast<ItemFn>(table_[206])(listing, record), 0);
    // An over-long name is cut to fit its field and ends inside it.
    EXPECT_LT(std::strlen(reinterpret_cast<const char *>(record + 8)), 1284u);
    for (size_t i = RecordSize; i < sizeof record; ++i)
        ASSERT_EQ(record[i], 0xA5) << "byte " << i;
    EXPECT_EQ(reinterpret_cast<ItemFn>(table_[206])(listing, record), 0);
    reinterpret_cast<HandleFn>(table_[201])(listing);
}

TEST_F(ZipLibrary, ExtractionWritesTheBaseNameWithItsTime) {
    WriteBytes(root_.Posix("c/d/a.txt"), "payload");
    const uint64_t written = FileTimeOf(2026, 12, 8, 14, 0, 1) + 1234567;
    ASSERT_TRUE(SetModified(root_.Posix("c/d/a.txt"), written));
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "a.txt"), 0);
    std::filesystem::create_directories(root_.Posix("c/out"));
    ASSERT_EQ(Extract("C:\\d\\x.zip", "a.txt", "C:\\out"), 0);
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/a.txt")), "payload");
    EXPECT_EQ(Modified(root_.Posix("c/out/a.txt")), written);
    // Nothing else is left in the folder (no temporary files).
    size_t count = 0;
    for (auto &entry : std::filesystem::directory_iterator(root_.Posix("c/out"))) {
        (void)entry;
        ++count;
    }
    EXPECT_EQ(count, 1u);
}

// Item names that point elsewhere ("../", absolute paths, folder parts) are written under
// their base name inside the destination folder and nowhere else.
TEST_F(ZipLibrary, ExtractionNeverLeavesTheDestinationFolder) {
    ASSERT_TRUE(BuildArchive(root_.Posix("c/d/evil.zip"), {{"../escaped.txt", "one"},
                                                           {"../../c/escaped2.txt", "two"},
                                                           {"/tmp/kestrune-absolute.txt", "three"},
                                                           {"sub\\..\\..\\back.txt", "four"},
                                                           {"sub/..", "five"}}));
    std::filesystem::create_directories(root_.Posix("c/out/in"));
    EXPECT_EQ(Extract("C:\\d\\evil.zip", "..\\escaped.txt", "C:\\out\\in"), 0);
    EXPECT_EQ(Extract("C:\\d\\evil.zip", "..\\..\\c\\escaped2.txt", "C:\\out\\in"), 0);
    EXPECT_EQ(Extract("C:\\d\\evil.zip", "\\tmp\\kestrune-absolute.txt", "C:\\out\\in"), 0);
    EXPECT_EQ(Extract("C:\\d\\evil.zip", "sub\\..\\..\\back.txt", "C:\\out\\in"), 0);
    int dotDot = Extract("C:\\d\\evil.zip", "sub\\..", "C:\\out\\in");
    EXPECT_NE(dotDot, 0);
    EXPECT_FALSE(ResultText(dotDot).empty());

    EXPECT_EQ(ReadBytes(root_.Posix("c/out/in/escaped.txt")), "one");
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/in/escaped2.txt")), "two");
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/in/kestrune-absolute.txt")), "three");
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/in/back.txt")), "four");
    EXPECT_FALSE(Exists(root_.Posix("c/out/escaped.txt")));
    EXPECT_FALSE(Exists(root_.Posix("c/escaped2.txt")));
    EXPECT_FALSE(Exists(root_.Posix("c/out/back.txt")));
    EXPECT_FALSE(Exists("/tmp/kestrune-absolute.txt"));
}

// Every failure is a non-zero result with a text, and the archive is left as it was.
TEST_F(ZipLibrary, FailuresGiveCodeAndText) {
    std::set<int> codes;
    auto failed = [&](int code) {
        EXPECT_NE(code, 0);
        EXPECT_FALSE(ResultText(code).empty()) << code;
        codes.insert(code);
    };
    WriteBytes(root_.Posix("c/d/a.txt"), "payload");

    // A file to add that does not exist.
    failed(Add("C:\\d\\x.zip", "C:\\d", "missing.txt"));
    EXPECT_FALSE(Exists(root_.Posix("c/d/x.zip")));
    // No archive bound, no name.
    failed(Add("", "C:\\d", "a.txt"));
    failed(Add("C:\\d\\x.zip", "C:\\d", ""));
    // An archive that cannot be written: its folder is a regular file.
    WriteBytes(root_.Posix("c/d/plain"), "not a folder");
    failed(Add("C:\\d\\plain\\x.zip", "C:\\d", "a.txt"));

    // A file that is not a zip archive, and a truncated archive.
    WriteBytes(root_.Posix("c/d/bad.zip"), std::string(300, 'z'));
    failed(Add("C:\\d\\bad.zip", "C:\\d", "a.txt"));
    EXPECT_EQ(ReadBytes(root_.Posix("c/d/bad.zip")), std::string(300, 'z'));
    ASSERT_EQ(Add("C:\\d\\good.zip", "C:\\d", "a.txt"), 0);
    std::string whole = ReadBytes(root_.Posix("c/d/good.zip"));
    WriteBytes(root_.Posix("c/d/cut.zip"), whole.substr(0, whole.size() - 10));
    int result = 0;
    List("C:\\d\\cut.zip", &result);
    failed(result);
    List("C:\\d\\bad.zip", &result);
    failed(result);
    List("C:\\d\\none.zip", &result);
    failed(result);
    std::filesystem::create_directories(root_.Posix("c/out"));
    failed(Extract("C:\\d\\cut.zip", "a.txt", "C:\\out"));
    failed(Extract("C:\\d\\none.zip", "a.txt", "C:\\out"));
    // An item the archive does not hold; a destination that does not exist or is a file.
    failed(Extract("C:\\d\\good.zip", "b.txt", "C:\\out"));
    failed(Extract("C:\\d\\good.zip", "a.txt", "C:\\nowhere"));
    failed(Extract("C:\\d\\good.zip", "a.txt", "C:\\d\\plain"));
    EXPECT_FALSE(Exists(root_.Posix("c/out/a.txt")));

    // An unused entry of the table answers with a failure too.
    failed(reinterpret_cast<HandleResultFn>(table_[100])(zip_));
    EXPECT_GE(codes.size(), 6u);
}

// Damaged compressed data is found by its checksum; no partial file is left behind.
TEST_F(ZipLibrary, CorruptItemDataFailsTheExtraction) {
    WriteBytes(root_.Posix("c/d/a.txt"), std::string(20000, 'q') + "tail");
    ASSERT_EQ(Add("C:\\d\\x.zip", "C:\\d", "a.txt"), 0);
    std::string bytes = ReadBytes(root_.Posix("c/d/x.zip"));
    // The deflated data starts after the local header: 30 bytes, the name, the extra field.
    ASSERT_GT(bytes.size(), 30u);
    auto le16 = [&](size_t at) {
        return static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8);
    };
    size_t dataAt = 30 + le16(26) + le16(28);
    ASSERT_GT(bytes.size(), dataAt + 20);
    for (size_t i = dataAt; i < dataAt + 8; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    WriteBytes(root_.Posix("c/d/x.zip"), bytes);
    std::filesystem::create_directories(root_.Posix("c/out"));
    WriteBytes(root_.Posix("c/out/a.txt"), "keep me");
    int result = Extract("C:\\d\\x.zip", "a.txt", "C:\\out");
    EXPECT_NE(result, 0);
    EXPECT_FALSE(ResultText(result).empty());
    EXPECT_EQ(ReadBytes(root_.Posix("c/out/a.txt")), "keep me");
    size_t count = 0;
    for (auto &entry : std::filesystem::directory_iterator(root_.Posix("c/out"))) {
        (void)entry;
        ++count;
    }
    EXPECT_EQ(count, 1u);
}

// Entry 146 has a text for every code; unknown codes say so.
TEST_F(ZipLibrary, ResultTextsAreBounded) {
    for (int code = 0; code < 600; ++code)
        EXPECT_FALSE(ResultText(code).empty()) << code;
    char small[8];
    std::memset(small, 'x', sizeof small);
    reinterpret_cast<ResultTextFn>(table_[146])(zip_, 0, 505, small, 4);
    EXPECT_EQ(small[3], '\0');
    EXPECT_EQ(small[4], 'x');
}

}  // namespace
