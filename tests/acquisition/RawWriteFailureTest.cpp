// Raw files that cannot be written: whole lines only, text kept for the late file and
// written by a later pass, the bound on what is kept, and the entries of one episode.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RawWriteFixture.h"

using namespace archivetest;

namespace {

using RawWriteFailure = RawWriteFixture;

TEST_F(RawWriteFailure, TextKeptOverSeveralPassesGoesToTheLateFileInOrderAfterOneEntry) {
    // While the hour's file stays unwritable, each pass writes what earlier passes kept to the
    // late file and keeps its own text; the episode lasts, with a single 5004 entry.
    BlockRawFile();
    Pass({"a\r\n"}, 0);
    EXPECT_FALSE(std::filesystem::exists(data + "/lab02634213_late_raw.txt"));
    Pass({"b\r\n"}, 1);
    EXPECT_EQ(Raw("lab02634213_late_raw.txt"), std::string(Header) + "0000000 a\r\n");
    Pass({"c\r\n"}, 2);
    EXPECT_EQ(Raw("lab02634213_late_raw.txt"), std::string(Header) + "0000000 a\r\n0001000 b\r\n");
    EXPECT_EQ(LogMessages(data, 5004).size(), 1u);
    EXPECT_TRUE(LogMessages(data, 5030).empty());

    UnblockRawFile();
    Pass({"d\r\n"}, 3);
    EXPECT_EQ(Raw("lab02634213_raw.txt"), std::string(Header) + "0003000 d\r\n");
    EXPECT_EQ(Raw("lab02634213_late_raw.txt"),
              std::string(Header) + "0000000 a\r\n0001000 b\r\n0002000 c\r\n");
    EXPECT_EQ(LogMessages(data, 5030),
              std::vector<std::string>{
                  "Metek1: Raw data files can be written again. 3 samples were kept and written "
                  "late to their late files, 0 samples lost."});
}

TEST_F(RawWriteFailure, TextBeyondTheBoundIsLostAndCounted) {
    engine->KeptRawLimit = 11;  // one line with its key
    BlockRawFile();
    Pass({"a\r\n"}, 0);
    // The late file cannot be written either, so "a" stays kept and "b" does not fit.
    std::filesystem::create_directories(data + "/lab02634213_late_raw.txt");
    Pass({"b\r\n"}, 1);
    EXPECT_EQ(engine->KeptRawBytes, 11u);
    EXPECT_EQ(engine->EpisodeSamplesLost, 1u);
    EXPECT_EQ(LogMessages(data, 5004),
              std::vector<std::string>{"Metek1: Error opening file " +
                                       root.Drive("C:\\Data\\Archive\\lab02634213_raw.txt") +
                                       " (error 5; 0 samples lost, 1 kept for a later write)"});

    UnblockRawFile();
    std::filesystem::remove(data + "/lab02634213_late_raw.txt");
    Pass({"c\r\n"}, 2);
    EXPECT_EQ(Raw("lab02634213_raw.txt"), std::string(Header) + "0002000 c\r\n");
    EXPECT_EQ(Raw("lab02634213_late_raw.txt"), std::string(Header) + "0000000 a\r\n");
    EXPECT_EQ(LogMessages(data, 5030),
              std::vector<std::string>{
                  "Metek1: Raw data files can be written again. 1 samples were kept and written "
                  "late to their late files, 1 samples lost."});
}

TEST_F(RawWriteFailure, TheArchivesEndWritesWhatIsKeptOrCountsItLost) {
    BlockRawFile();
    Pass({"a\r\n"}, 0);
    engine->WriteKeptRawText(true);  // what the archive thread does when it ends
    EXPECT_EQ(Raw("lab02634213_late_raw.txt"), std::string(Header) + "0000000 a\r\n");
    EXPECT_EQ(LogMessages(data, 5030),
              std::vector<std::string>{
                  "Metek1: Raw data files can be written again. 1 samples were kept and written "
                  "late to their late files, 0 samples lost."});

    std::filesystem::remove(data + "/lab02634213_late_raw.txt");
    std::filesystem::create_directories(data + "/lab02634213_late_raw.txt");
    Pass({"b\r\n", "c\r\n"}, 1);
    engine->WriteKeptRawText(true);
    EXPECT_TRUE(engine->KeptRaw.empty());
    auto entries = LogMessages(data, 5030);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1],
              "Metek1: Raw data files could still not be written when the archive stopped. 0 samples "
              "were written late to their late files, 2 samples lost.");
    EXPECT_EQ(LogMessages(data, 5004).size(), 2u);  // one per episode
}

TEST(LateRawFileName, GoesBeforeTheTailOfTheName) {
    char late[DataAcquisition::TextSize];
    ASSERT_TRUE(DataAcquisition::LateRawFileName("lab02634213_raw.txt", late, sizeof late));
    EXPECT_STREQ(late, "lab02634213_late_raw.txt");
    ASSERT_TRUE(DataAcquisition::LateRawFileName("raw2634213.dat", late, sizeof late));
    EXPECT_STREQ(late, "raw2634213_late.dat");
    ASSERT_TRUE(DataAcquisition::LateRawFileName("raw2634213", late, sizeof late));
    EXPECT_STREQ(late, "raw2634213_late");
    EXPECT_FALSE(DataAcquisition::LateRawFileName(std::string(250, 'x').c_str(), late, 255));
}

}  // namespace
