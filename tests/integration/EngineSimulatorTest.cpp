// The uSonic-3 engine against usonic-sim on a pty: the start, every line arriving once and in
// order with rising stamps, buffer hand-over, fault modes, losses and Stop. A consumer thread
// (tests/common/BufferConsumer.h) stands in for the archive thread.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/BufferConsumer.h"
#include "common/PtyPeer.h"
#include "common/Simulator.h"
#include "common/TestRoot.h"
#include "instrument/SerialComm.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/Win32Util.h"

namespace {

const DWORD Guard = 30000;  // failure guard for waits on events; never reached when all is well

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        settle_ = SerialComm::SettleTimeMs;
        SerialComm::SettleTimeMs = 50;
        log_ = std::make_unique<EventLog>("Engine Test EventLog", "C:\\Data\\EngineTest");
        engine_ = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", *log_);
    }
    void TearDown() override {
        engine_.reset();
        log_.reset();
        unsetenv("KESTRUNE_COM1");
        SerialComm::SettleTimeMs = settle_;
    }

    std::string LogPath(const char *name) const { return root_.Path() + "/" + name; }

    // Every event-log entry as (code, message), in file order.
    std::vector<std::pair<int, std::string>> Entries() const {
        std::vector<std::pair<int, std::string>> entries;
        std::string dir = root_.Posix("c/Data/EngineTest");
        DIR *d = opendir(dir.c_str());
        if (d == nullptr)
            return entries;
        std::vector<std::string> files;
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".log")
                files.push_back(dir + "/" + name);
        }
        closedir(d);
        for (const std::string &file : files) {
            std::ifstream in(file);
            std::string line;
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                // "HH:MM:SS:MMM  Code  Message"
                if (line.size() < 20 || line[2] != ':' || line[12] != ' ')
                    continue;
                int code = atoi(line.substr(14, 4).c_str());
                entries.emplace_back(code, line.substr(20));
            }
        }
        return entries;
    }
    static int IndexOf(const std::vector<std::pair<int, std::string>> &entries, int code,
                       const std::string &text) {
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i].first == code && entries[i].second == text)
                return static_cast<int>(i);
        return -1;
    }
    static int CountCode(const std::vector<std::pair<int, std::string>> &entries, int code) {
        int n = 0;
        for (const auto &e : entries)
            n += e.first == code;
        return n;
    }

    TestRoot root_;
    DWORD settle_ = 0;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<SonicMetek3ClassAMPSerial> engine_;
};

// A port missing at the start is waited for: the engine stays not ready, tries the port
// again and starts once it appears.
TEST_F(EngineTest, StartWithoutComOneWaitsForThePortAndStartsWhenItAppears) {
    const std::string link = LogPath("com1");
    setenv("KESTRUNE_COM1", link.c_str(), 1);
    engine_->ReopenIntervalMs = 20;
    engine_->HandOverDeadlineMs = 100;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    EXPECT_EQ(WaitForSingleObject(engine_->EngineReadyEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    Simulator sim({"--link", link, "--after-flush", "--count", "30", "--rate", "200", "--linger"},
                  LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    ASSERT_EQ(WaitForSingleObject(engine_->EngineReadyEvent, Guard), WAIT_OBJECT_0);
    ASSERT_EQ(sim.WaitDone(), 30);
    ASSERT_TRUE(consumer.WaitForRecords(30));
    engine_->Stop();

    auto entries = Entries();
    const int failed =
        IndexOf(entries, 5103,
                "Metek1: Can't start data acquisition. Either COM1 doesn't exist or is open in another "
                "application.");
    const int waiting =
        IndexOf(entries, 5303,
                "Metek1: COM1 cannot be opened (error 2). Acquisition waits for the port and tries it "
                "every 0 seconds.");
    EXPECT_GE(failed, 0);
    EXPECT_GT(waiting, failed);
    // Each is written once, however often the port was tried.
    EXPECT_EQ(CountCode(entries, 5303), 1);
    EXPECT_EQ(CountCode(entries, 5300), 1);
    EXPECT_EQ(CountCode(entries, 5304), 1);
    EXPECT_EQ(consumer.Records().size(), 30u);
}

TEST_F(EngineTest, StartWithComOneHeldElsewhereWaitsUntilItIsFree) {
    Simulator sim({"--after-flush", "--count", "10", "--rate", "200", "--linger"}, LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    HANDLE held = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    engine_->ReopenIntervalMs = 20;
    engine_->HandOverDeadlineMs = 100;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    EXPECT_EQ(WaitForSingleObject(engine_->EngineReadyEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(held);
    ASSERT_EQ(WaitForSingleObject(engine_->EngineReadyEvent, Guard), WAIT_OBJECT_0);
    ASSERT_EQ(sim.WaitDone(), 10);
    ASSERT_TRUE(consumer.WaitForRecords(10));
    engine_->Stop();
    auto entries = Entries();
    EXPECT_GE(IndexOf(entries, 5103,
                      "Metek1: Can't start data acquisition. Either COM1 doesn't exist or is open in another "
                      "application."),
              0);
    EXPECT_EQ(CountCode(entries, 5300), 1);
}

// The port hangs up (the instrument's adapter is pulled out): the lines it delivered are
// kept, the loss is logged once, and the port is read again when it is back on its path.
TEST_F(EngineTest, LostPortIsReopenedOnItsPath) {
    const std::string link = LogPath("com1");
    setenv("KESTRUNE_COM1", link.c_str(), 1);
    engine_->ReopenIntervalMs = 20;
    engine_->HandOverDeadlineMs = 100;
    Consumer consumer(*engine_, false);
    Simulator first({"--link", link, "--after-flush", "--count", "20", "--rate", "200", "--linger"},
                    LogPath("first.log"));
    ASSERT_TRUE(first.Ok());
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(first.WaitDone(), 20);
    ASSERT_TRUE(consumer.WaitForRecords(20));
    first.End();  // the simulator ends: the pty hangs up

    Simulator second({"--link", link, "--after-flush", "--count", "20", "--rate", "200", "--linger"},
                     LogPath("second.log"));
    ASSERT_TRUE(second.Ok());
    ASSERT_EQ(second.WaitDone(), 20);
    ASSERT_TRUE(consumer.WaitForRecords(40));
    engine_->Stop();

    auto sent = first.Log();
    auto more = second.Log();
    sent.insert(sent.end(), more.begin(), more.end());
    auto records = consumer.Records();
    ASSERT_EQ(records.size(), 40u);
    ASSERT_EQ(sent.size(), 40u);
    for (size_t i = 0; i < 40; ++i)
        EXPECT_EQ(records[i].Text, sent[i].Text) << i;
    auto entries = Entries();
    EXPECT_EQ(CountCode(entries, 5303), 1);
    EXPECT_EQ(CountCode(entries, 5304), 1);
    EXPECT_EQ(CountCode(entries, 5300), 1);
    EXPECT_GE(engine_->ReadErrors, 1u);
}

// Lines sent before the start are discarded; every line after it arrives once, in order, as
// one record with a stamp no earlier than its sending and never below the one before.
TEST_F(EngineTest, EveryLineArrivesOnceInOrderWithRisingStamps) {
    Simulator sim({"--preamble", "5", "--after-flush", "--count", "300", "--rate", "400", "--burst", "50:20",
                   "--linger"},
                  LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    engine_->HandOverDeadlineMs = 200;
    // Whole lines reach the pty at once, faster than a wire: stamped at their line feeds, none
    // can come before its write (first-byte stamps are measured against usonic-sim --wire).
    engine_->TimeStampAtStart = false;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(WaitForSingleObject(engine_->EngineReadyEvent, Guard), WAIT_OBJECT_0);
    ASSERT_EQ(sim.WaitDone(), 305);
    ASSERT_TRUE(consumer.WaitForRecords(300));
    engine_->Stop();
    EXPECT_EQ(WaitForSingleObject(engine_->ReinitIdleEvent, 0), WAIT_OBJECT_0);

    auto sent = sim.Log();
    ASSERT_EQ(sent.size(), 305u);
    auto records = consumer.Records();
    ASSERT_EQ(records.size(), 300u);
    for (size_t i = 0; i < 300; ++i) {
        const SentLine &line = sent[5 + i];
        ASSERT_EQ(line.Kind, 'L');
        EXPECT_EQ(records[i].Text, line.Text) << i;
        EXPECT_GE(records[i].Stamp + 10000, line.SendTime)
            << i;  // not before it was sent (1 ms of clock slack)
        if (i > 0) {
            EXPECT_GE(records[i].Stamp, records[i - 1].Stamp) << i;
        }
    }
    EXPECT_TRUE(consumer.statusGood_);
    EXPECT_EQ(engine_->LinesLost, 0u);
    EXPECT_EQ(engine_->LinesTruncated, 0u);

    auto entries = Entries();
    int started = IndexOf(entries, 5103, "Metek1: Acquisition initialization started.");
    int finished = IndexOf(entries, 5104, "Metek1: Acquisition initialization finished.");
    int running = IndexOf(entries, 5300, "Metek1: Data acquisition engine started.");
    EXPECT_GE(started, 0);
    EXPECT_GT(finished, started);
    EXPECT_GT(running, finished);
}

// Batched sending: 100 lines per write, numbered and logged one by one, each with its write's
// time; every line is stored once, in order, and none is stamped before its write. A batch
// reaches the pty at once, far faster than a wire carries it, so the lines are stamped at their
// line feeds here: a first-byte estimate would place them back by a wire time they never took.
TEST_F(EngineTest, BatchedLinesArriveOnceInOrder) {
    Simulator sim({"--after-flush", "--count", "1050", "--rate", "20000", "--batch", "100", "--linger"},
                  LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    engine_->HandOverDeadlineMs = 200;
    engine_->TimeStampAtStart = false;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(sim.WaitDone(), 1050);
    ASSERT_TRUE(consumer.WaitForRecords(1050));
    engine_->Stop();

    auto sent = sim.Log();
    ASSERT_EQ(sent.size(), 1050u);
    auto records = consumer.Records();
    ASSERT_EQ(records.size(), 1050u);
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i].Number, i + 1);
        ASSERT_EQ(sent[i].Text.compare(
                      0, 9, std::string(9 - std::to_string(i + 1).size(), '0') + std::to_string(i + 1)),
                  0)
            << i;
        // The lines of one write share its time; the last write holds the 50 left over.
        if (i % 100 != 0) {
            EXPECT_EQ(sent[i].SendTime, sent[i - 1].SendTime) << i;
        }
        EXPECT_EQ(records[i].Text, sent[i].Text) << i;
        EXPECT_GE(records[i].Stamp + 10000, sent[i].SendTime) << i;
    }
    EXPECT_EQ(engine_->LinesLost, 0u);
}

// Waits until the port's side of a pty in packet mode discards its input (the engine's purge).
bool WaitForInputFlush(int master) {
    for (;;) {
        struct pollfd in = {master, POLLIN | POLLPRI, 0};
        if (poll(&in, 1, static_cast<int>(Guard)) <= 0)
            return false;
        unsigned char packet[512];
        const ssize_t n = read(master, packet, sizeof packet);
        if (n <= 0)
            return false;
        if (packet[0] != TIOCPKT_DATA && (packet[0] & TIOCPKT_FLUSHREAD))
            return true;
    }
}

// The engine starts while the instrument is in the middle of a line, sent byte by byte: the
// first bytes it receives are the end of that line, and they never become a record (they
// would read as a good sample with its fields shifted).
TEST_F(EngineTest, StartInTheMiddleOfALineStoresWholeLinesOnly) {
    PtyPeer peer;
    ASSERT_TRUE(peer.Ok());
    int packetMode = 1;
    ASSERT_EQ(ioctl(peer.MasterFd(), TIOCPKT, &packetMode), 0);
    auto sendBytewise = [&peer](const std::string &bytes) {
        for (char c : bytes)
            if (!peer.Send(std::string(1, c)))
                return false;
        return true;
    };
    // Before the start: a whole line and the beginning of the next; the purge drops them.
    ASSERT_TRUE(sendBytewise("0000000011000,3.100,-1.000,0.040,20.400,0\n0000000021000,3.2"));
    engine_->HandOverDeadlineMs = 100;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_TRUE(WaitForInputFlush(peer.MasterFd()));
    // The rest of the line the start fell into, then whole lines.
    ASSERT_TRUE(sendBytewise("00,-1.100,0.050,20.500,0\n"));
    ASSERT_TRUE(sendBytewise("0000000031000,3.300,-1.200,0.060,20.600,0\n"));
    ASSERT_TRUE(sendBytewise("0000000041000,3.400,-1.300,0.070,20.700,0\n"));
    ASSERT_TRUE(consumer.WaitForRecords(2));
    engine_->Stop();

    const auto records = consumer.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Text, "0000000031000,3.300,-1.200,0.060,20.600,0");
    EXPECT_EQ(records[1].Text, "0000000041000,3.400,-1.300,0.070,20.700,0");
    EXPECT_EQ(engine_->LinesReceived, 3u);  // the end of the first line was seen, and dropped
}

// The system clock as the engine reads it: the real one, set back or forward by the test.
void SteppedClock(void *context, FILETIME *wallTime, LARGE_INTEGER *counter) {
    const auto *offset = static_cast<const std::atomic<LONGLONG> *>(context);
    QueryPerformanceCounter(counter);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    *wallTime =
        UnitsToFileTime(static_cast<ULONGLONG>(static_cast<LONGLONG>(FileTimeToUnits(now)) + offset->load()));
}

// The clock is set back 30 minutes while lines come in: the engine notices it against the
// performance counter, hands the lines before it over, and the stamps after it follow the
// clock; everywhere else they rise.
TEST_F(EngineTest, ClockSetBackIsDetectedAndStampsFollowIt) {
    Simulator sim({"--after-flush", "--count", "300", "--rate", "200", "--linger"}, LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    std::atomic<LONGLONG> offset{0};
    engine_->ReadClocks = SteppedClock;
    engine_->ClockContext = &offset;
    engine_->HandOverDeadlineMs = 100;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_TRUE(consumer.WaitForRecords(50));
    const LONGLONG step = -30LL * 60 * 10000000;
    offset.store(step);
    ASSERT_EQ(sim.WaitDone(), 300);
    ASSERT_TRUE(consumer.WaitForRecords(300));
    engine_->Stop();

    EXPECT_EQ(engine_->ClockStepsDetected, 1u);
    const auto records = consumer.Records();
    ASSERT_EQ(records.size(), 300u);
    int decreases = 0;
    for (size_t i = 1; i < records.size(); ++i) {
        if (records[i].Stamp >= records[i - 1].Stamp)
            continue;
        ++decreases;
        const ULONGLONG back = records[i - 1].Stamp - records[i].Stamp;
        EXPECT_GT(back, static_cast<ULONGLONG>(-step) - 60 * 10000000ULL);  // the step less the time between
        EXPECT_LE(back, static_cast<ULONGLONG>(-step));
        EXPECT_NE(records[i].Buffer, records[i - 1].Buffer);  // handed over at the step
    }
    EXPECT_EQ(decreases, 1);
}

// A full buffer is handed over at once; the rest follows at the deadline, without a stop.
TEST_F(EngineTest, BuffersAreHandedOverWhenFullAndAtTheDeadline) {
    Simulator sim({"--after-flush", "--count", "4100", "--burst", "1:4100", "--linger"}, LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    engine_->HandOverDeadlineMs = 3000;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(sim.WaitDone(), 4100);
    ASSERT_TRUE(consumer.WaitForRecords(4100));
    auto sizes = consumer.Sizes();
    engine_->Stop();
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0], SampleBuffer::Capacity);
    EXPECT_EQ(sizes[1], 100u);
    auto records = consumer.Records();
    EXPECT_EQ(records[0].Buffer, 0);
    EXPECT_EQ(records[4000].Buffer, 1);
    auto sent = sim.Log();
    EXPECT_EQ(records.back().Text, sent.back().Text);
}

// Stop hands the partial buffer over and ends the loop; the port is released.
TEST_F(EngineTest, StopHandsThePartialBufferOverAndReleasesThePort) {
    Simulator sim({"--after-flush", "--count", "10", "--rate", "1000", "--linger"}, LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(sim.WaitDone(), 10);
    engine_->Stop();
    ASSERT_TRUE(consumer.WaitForRecords(10));
    EXPECT_EQ(consumer.Sizes(), std::vector<DWORD>{10});
    EXPECT_EQ(engine_->BuffersHandedOver, 1u);
    // The port is free again.
    HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
}

// Garbage, missing fields, over-long lines and bursts: every line still arrives, over-long
// ones cut to the receive area, and the cuts are counted and logged.
TEST_F(EngineTest, FaultModesKeepTheEngineRunning) {
    Simulator sim({"--after-flush", "--count", "200", "--rate", "1000", "--garbage", "7", "--missing", "5",
                   "--overlong", "50", "--overlong-length", "25000", "--burst", "20:10", "--linger"},
                  LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    engine_->HandOverDeadlineMs = 200;
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(sim.WaitDone(), 200);
    ASSERT_TRUE(consumer.WaitForRecords(200));
    engine_->Stop();

    auto sent = sim.Log();
    auto records = consumer.Records();
    ASSERT_EQ(records.size(), 200u);
    int cut = 0;
    for (size_t i = 0; i < 200; ++i) {
        std::string expected = sent[i].Text;
        if (sent[i].Kind == 'O') {
            ++cut;
            expected.resize(SerialAcquisition::ReceiveAreaSize);
        }
        EXPECT_EQ(records[i].Text, expected) << i << ' ' << sent[i].Kind;
    }
    EXPECT_EQ(cut, 4);
    EXPECT_EQ(engine_->LinesTruncated, 4u);
    EXPECT_EQ(engine_->LinesLost, 0u);
    int logged = 0;
    for (const auto &e : Entries()) {
        if (e.first == 5302)
            logged += atoi(e.second.c_str() + strlen("Metek1: "));
    }
    EXPECT_EQ(logged, 4);
}

// An archive side that holds every buffer: the lines that find no free buffer are counted
// and the loss is logged once, with the count.
TEST_F(EngineTest, LinesLostWhileTheArchiveHoldsEveryBuffer) {
    Simulator sim({"--after-flush", "--count", "150", "--rate", "200", "--linger"}, LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    engine_->HandOverDeadlineMs = 40;
    Consumer consumer(*engine_, true);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(sim.WaitDone(), 150);
    ASSERT_TRUE(consumer.WaitForHandOvers(4));
    engine_->Stop();
    consumer.Release();

    auto records = consumer.Records();
    EXPECT_EQ(consumer.Sizes().size(), 4u);
    EXPECT_GT(engine_->LinesLost, 0u);
    EXPECT_EQ(records.size() + engine_->LinesLost, 150u);
    auto entries = Entries();
    ASSERT_EQ(CountCode(entries, 5301), 1);
    for (const auto &e : entries) {
        if (e.first == 5301) {
            EXPECT_EQ(e.second,
                      "Metek1: " + std::to_string(engine_->LinesLost) +
                          " instrument lines lost: every sample buffer was still held by the archive.");
        }
    }
}

TEST_F(EngineTest, ReinitializationRequestRunsInitializeAgain) {
    Simulator sim({"--after-flush", "--count", "30", "--rate", "100", "--linger"}, LogPath("sim.log"));
    ASSERT_TRUE(sim.Ok());
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    engine_->HandOverDeadlineMs = 100;
    SetEvent(engine_->ReinitRequestEvent);
    Consumer consumer(*engine_, false);
    ASSERT_EQ(engine_->Start(), 0u);
    ASSERT_EQ(sim.WaitDone(), 30);
    ASSERT_TRUE(consumer.WaitForRecords(30));
    engine_->Stop();
    EXPECT_EQ(engine_->Reinitializations, 1u);
    EXPECT_EQ(WaitForSingleObject(engine_->ReinitRequestEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(engine_->ReinitIdleEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(consumer.Records().size(), 30u);
}

}  // namespace
