// CRC-32 of memory and files, as ZIP archives store it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/TestRoot.h"
#include "common/ZipTestFiles.h"
#include "support/FileChecksum.h"

namespace {

using namespace ziptest;

TEST(FileChecksum, Crc32OfKnownTextsAndInPieces) {
    EXPECT_EQ(Crc32Update(0, "", 0), 0u);
    EXPECT_EQ(Crc32Update(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32Update(0, "The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    // Fed in uneven pieces, the eight-byte steps and the byte steps agree.
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += static_cast<char>(i * 7 + 3);
    const DWORD whole = Crc32Update(0, text.data(), text.size());
    DWORD pieces = 0;
    for (size_t at = 0, step = 1; at < text.size(); at += step, step = step % 13 + 1)
        pieces = Crc32Update(pieces, text.data() + at, std::min(step, text.size() - at));
    EXPECT_EQ(pieces, whole);
}

TEST(FileChecksum, FileSizeCrcAndTime) {
    TestRoot root;
    std::string bytes(3 << 20, '\0');  // more than one read chunk
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    WriteBytes(root.Posix("c/d/a.bin"), bytes);
    const uint64_t written = FileTimeOf(2026, 12, 8, 14, 0, 0) + 1234567;
    ASSERT_TRUE(SetModified(root.Posix("c/d/a.bin"), written));
    FileChecksum sum;
    ASSERT_EQ(ComputeFileChecksum(root.Drive("C:\\d\\a.bin").c_str(), &sum), 0u);
    EXPECT_EQ(sum.Size, bytes.size());
    EXPECT_EQ(sum.Crc, Crc32Update(0, bytes.data(), bytes.size()));
    EXPECT_EQ((static_cast<uint64_t>(sum.LastWrite.dwHighDateTime) << 32) | sum.LastWrite.dwLowDateTime,
              written);
    EXPECT_EQ(ComputeFileChecksum(root.Drive("C:\\d\\none.bin").c_str(), &sum),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    WriteBytes(root.Posix("c/d/b.bin"), bytes);
    bool same = false;
    ASSERT_EQ(
        FilesHoldSameBytes(root.Drive("C:\\d\\a.bin").c_str(), root.Drive("C:\\d\\b.bin").c_str(), &same),
        0u);
    EXPECT_TRUE(same);
    bytes[bytes.size() / 2] ^= 1;
    WriteBytes(root.Posix("c/d/b.bin"), bytes);
    ASSERT_EQ(
        FilesHoldSameBytes(root.Drive("C:\\d\\a.bin").c_str(), root.Drive("C:\\d\\b.bin").c_str(), &same),
        0u);
    EXPECT_FALSE(same);
}

}  // namespace
