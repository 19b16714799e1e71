// Raw files on a disk that fills up, made with a cap on the process's file sizes: a short
// write is cut back to whole lines, and what did not fit is written later to the late file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "RawWriteFixture.h"
#include "common/FileSizeCap.h"

using namespace archivetest;

namespace {

using RawShortWrite = RawWriteFixture;

TEST_F(RawShortWrite, AShortWriteIsCutBackToTheLastWholeLineAndWrittenLaterToTheLateFile) {
    Pass({"first\r\n"}, 0);
    // Enough earlier lines that the event log stays well below the cap while the raw file
    // reaches it.
    std::string before = Raw("lab02634213_raw.txt");
    {
        std::ofstream out(data + "/lab02634213_raw.txt", std::ios::binary | std::ios::app);
        for (int i = 0; i < 400; ++i)
            out << "0000000 filler line to grow the file past the log\r\n";
    }
    before = Raw("lab02634213_raw.txt");

    {
        FileSizeCap cap(before.size() + 20);  // room for the first line and a half
        if (!cap.Active())
            GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
        Pass({"second line\r\n", "third line\r\n", "fourth line\r\n"}, 1);
        cap.Lift();
    }
    EXPECT_EQ(Raw("lab02634213_raw.txt"), before);
    EXPECT_EQ(LogMessages(data, 5004),
              std::vector<std::string>{
                  "Metek1: Error writing file C:\\Data\\Archive\\lab02634213_raw.txt (error 223; 0 "
                  "samples lost, 3 kept for a later write)"});
    EXPECT_EQ(engine->EpisodeSamplesKept, 3u);

    Pass({"fifth line\r\n"}, 4);
    EXPECT_EQ(Raw("lab02634213_raw.txt"), before + "0004000 fifth line\r\n");
    EXPECT_EQ(Raw("lab02634213_late_raw.txt"),
              std::string(Header) + "0001000 second line\r\n0002000 third line\r\n0003000 fourth line\r\n");
    EXPECT_EQ(LogMessages(data, 5030),
              std::vector<std::string>{
                  "Metek1: Raw data files can be written again. 3 samples were kept and written "
                  "late to their late files, 0 samples lost."});
    EXPECT_TRUE(engine->KeptRaw.empty());
    EXPECT_EQ(engine->KeptRawBytes, 0u);
}

TEST_F(RawShortWrite, AFailedWriteToANewFileLeavesNoFileBehind) {
    Pass({"first\r\n"}, 0);  // the event log and the 13 h file exist
    const std::string line = std::string(20000, 'x') + "\r\n";
    {
        FileSizeCap cap(10000);  // the new 14 h file cannot take the line
        if (!cap.Active())
            GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
        SetRecord(*engine, 0, 0, line, Stamp(2026, 12, 8, 14, 0, 0, 0));
        engine->Buffers[0].SampleCount = 1;
        engine->CurrentBuffer = 0;
        engine->ArchivePass(state);
        cap.Lift();
    }
    EXPECT_FALSE(std::filesystem::exists(data + "/lab02634214_raw.txt"));
    EXPECT_EQ(engine->EpisodeSamplesKept, 1u);

    Pass({"second\r\n"}, 1);
    EXPECT_EQ(Raw("lab02634214_late_raw.txt"), "12/08/2026 14:00 Metek (SN: 666)\r\n0000000 " + line);
    EXPECT_EQ(LogMessages(data, 5030).size(), 1u);
}

}  // namespace
