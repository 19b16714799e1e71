// Raw files that cannot be written: whole lines only, text kept for the late file and
// written by a later pass, the bound on what is kept, and the entries of one episode.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <memory>

#include "ArchiveTestSupport.h"
#include "common/TestRoot.h"

using namespace archivetest;

namespace {

class TestEngine : public DataAcquisition {
public:
    explicit TestEngine(EventLog &log) : DataAcquisition(log) {
        snprintf(InstrumentName, sizeof InstrumentName, "Metek");
        snprintf(SerialNumber, sizeof SerialNumber, "666");
    }
    void Acquire() override {}
};

class RawWriteFailure : public testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<EventLog>("Raw Write Test EventLog", DataDirectory);
        engine = std::make_unique<TestEngine>(*log);
        data = DataPath(root.Path());
        engine->RawTimeKeyFormat = 2;
        engine->RawTimeKeyEnabled = 1;
        snprintf(engine->RawArchiveDirectory, sizeof engine->RawArchiveDirectory, "%s", DataDirectory);
        snprintf(engine->RawFileTemplate, sizeof engine->RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
        engine->RawArchivePeriod = 60;
        engine->BeginArchive(state);
    }
    // One pass over buffer 0 holding one good sample per text, stamped 13:00:00 + i seconds.
    void Pass(const std::vector<std::string> &texts, int firstSecond) {
        for (size_t i = 0; i < texts.size(); ++i)
            SetRecord(*engine, 0, static_cast<DWORD>(i), texts[i],
                      Stamp(2026, 12, 8, 13, 0, firstSecond + static_cast<int>(i), 0));
        engine->Buffers[0].SampleCount = static_cast<DWORD>(texts.size());
        engine->CurrentBuffer = 0;
        engine->ArchivePass(state);
    }
    std::string Raw(const std::string &name) { return FileText(data + "/" + name); }
    void BlockRawFile() { std::filesystem::create_directories(data + "/lab02634213_raw.txt"); }
    void UnblockRawFile() { std::filesystem::remove(data + "/lab02634213_raw.txt"); }

    TestRoot root;
    std::string data;
    std::unique_ptr<EventLog> log;
    std::unique_ptr<TestEngine> engine;
    DataAcquisition::ArchiveThreadState state;
};

const char Header[] = "12/08/2026 13:00 Metek (SN: 666)\r\n";

// Caps the size of every file this process writes, with SIGXFSZ ignored, so that a write
// across the cap comes back short and then fails with EFBIG, as on a disk that fills up.
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) {
        if (getrlimit(RLIMIT_FSIZE, &saved_) != 0 ||
            (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < bytes))
            return;
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = saved_;
        capped.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &capped) == 0;
    }
    ~FileSizeCap() { Lift(); }
    void Lift() {
        if (!active_)
            return;
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
        active_ = false;
    }
    bool Active() const { return active_; }

private:
    rlimit saved_ = {};
    void (*previousHandler_)(int) = SIG_DFL;
    bool active_ = false;
};

TEST_F(RawWriteFailure, AShortWriteIsCutBackToTheLastWholeLineAndWrittenLaterToTheLateFile) {
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

TEST_F(RawWriteFailure, AFailedWriteToANewFileLeavesNoFileBehind) {
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
              std::vector<std::string>{
                  "Metek1: Error opening file C:\\Data\\Archive\\lab02634213_raw.txt (error 5; 0 "
                  "samples lost, 1 kept for a later write)"});

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
