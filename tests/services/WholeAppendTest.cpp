// Whole-line appends on a disk that fills up, made with a cap on the process's file sizes:
// the file keeps its size before a write that does not fit, and a file that such a write
// created is removed again.
#include "services/WholeAppend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/ChildProgram.h"
#include "common/FileSizeCap.h"
#include "common/TestRoot.h"

namespace {

const char Path[] = "C:\\lines.txt";
const char Header[] = "header\r\n";

// Opens the file for appending and appends the text (with the header when empty).
DWORD Append(const std::string &text, const char *path = Path) {
    HANDLE file = CreateFileA(Path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    return AppendWhole(file, path, created, text.data(), text.size(), Header, sizeof Header - 1);
}

TEST(WholeAppend, AWriteThatDoesNotFitLeavesTheFileAsItWas) {
    TestRoot root;
    std::filesystem::create_directories(root.Path() + "/c");
    const std::string file = root.Path() + "/c/lines.txt";
    ASSERT_EQ(Append("one\r\n"), 0u);
    ASSERT_EQ(Append("two\r\n"), 0u);
    const std::string before = FileText(file);
    EXPECT_EQ(before, "header\r\none\r\ntwo\r\n");
    {
        FileSizeCap cap(before.size() + 10);
        if (!cap.Active())
            GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
        EXPECT_NE(Append(std::string(40, 'x') + "\r\n"), 0u);
        EXPECT_EQ(FileText(file), before);
    }
    ASSERT_EQ(Append("three\r\n"), 0u);
    EXPECT_EQ(FileText(file), before + "three\r\n");
}

TEST(WholeAppend, AFileTheFailedWriteCreatedIsRemovedUnlessThereIsNoPath) {
    TestRoot root;
    std::filesystem::create_directories(root.Path() + "/c");
    const std::string file = root.Path() + "/c/lines.txt";
    FileSizeCap cap(4);  // not even the header fits
    if (!cap.Active())
        GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
    EXPECT_NE(Append("one\r\n"), 0u);
    EXPECT_FALSE(std::filesystem::exists(file));
    // Without a path, the emptied file stays; an empty file that was there before stays too.
    EXPECT_NE(Append("one\r\n", nullptr), 0u);
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
    EXPECT_NE(Append("one\r\n"), 0u);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

}  // namespace
