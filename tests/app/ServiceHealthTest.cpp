// The service's view of the program's health: the watchdog check over the engine's progress
// counters and its waiting-for-port state, and the bounded wait for the port at a service's
// start, through its bound and step given as arguments.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "acquisition/DataAcquisition.h"
#include "app/ServiceNotifier.h"
#include "app/WindowsService.h"
#include "common/TestRoot.h"
#include "services/Win32Util.h"

namespace {

// An engine whose counters the test moves by hand; its threads are never started.
class IdleEngine : public DataAcquisition {
public:
    explicit IdleEngine(EventLog &log) : DataAcquisition(log) {}
    void Acquire() override {}
};

class ServiceWatchdog : public ::testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<EventLog>("Service health test", root.Drive("C:\\Data").c_str());
        engine = std::make_unique<IdleEngine>(*log);
    }
    void TearDown() override {
        engine.reset();
        log.reset();
    }
    // Moves the counters as the threads would.
    void Read() { engine->EngineReads.fetch_add(1); }
    void HandOver() { engine->BufferHandOvers.fetch_add(1); }
    void Pass() { engine->ArchivePasses.fetch_add(1); }
    void LosePort() {
        SYSTEMTIME at = {};
        at.wYear = 2026;
        at.wMonth = 12;
        at.wDay = 8;
        at.wHour = 10;
        at.wMinute = 11;
        at.wSecond = 12;
        at.wMilliseconds = 999;
        FILETIME time = {};
        ASSERT_TRUE(SystemTimeToFileTime(&at, &time));
        engine->PortMissingSince.store(FileTimeToUnits(time));
    }
    void PortBack() { engine->PortMissingSince.store(0); }

    TestRoot root;
    std::unique_ptr<EventLog> log;
    std::unique_ptr<IdleEngine> engine;
};

const std::string Acquiring = "STATUS=Acquiring.";
const std::string Waiting = "STATUS=Waiting for COM3 (missing since 2026-12-08 10:11:12 UTC).";

TEST_F(ServiceWatchdog, ReadsAndPassesAreHealthyAndSilenceIsAStall) {
    ServiceNotifier notifier(*engine, 3);
    Read();
    HandOver();
    Pass();
    EXPECT_EQ(notifier.Check(), Acquiring);
    // An engine that reads while the archive has caught up: nothing waits for a pass.
    Read();
    EXPECT_EQ(notifier.Check(), Acquiring);
    // No read at all, with the port open: the engine is stalled (or its instrument silent).
    EXPECT_EQ(notifier.Check(), "STATUS=Stalled: no port read since the last check.");
}

TEST_F(ServiceWatchdog, AnArchiveBehindTheHandOversOfTheLastCheckIsStalled) {
    ServiceNotifier notifier(*engine, 3);
    // A buffer handed over and its pass not done: at this check the archive may just be busy.
    Read();
    HandOver();
    EXPECT_EQ(notifier.Check(), Acquiring);
    // Still not done a whole interval later: stalled, for as long as no pass comes.
    Read();
    HandOver();
    EXPECT_EQ(notifier.Check(), "STATUS=Stalled: no archive pass since the last check.");
    Read();
    EXPECT_EQ(notifier.Check(), "STATUS=Stalled: no archive pass since the last check.");
    EXPECT_EQ(notifier.Check(), "STATUS=Stalled: no port read and no archive pass since the last check.");
    // Passes again: healthy at once.
    Read();
    Pass();
    EXPECT_EQ(notifier.Check(), Acquiring);
}

TEST_F(ServiceWatchdog, APortAwayIsWaitedForAsHealthyWhileTheArchiveIsIdle) {
    ServiceNotifier notifier(*engine, 3);
    Read();
    HandOver();
    Pass();
    EXPECT_EQ(notifier.Check(), Acquiring);
    // The port is lost: the last buffer was archived; from here nothing moves, and every
    // check is healthy and says what the engine waits for.
    LosePort();
    for (int check = 0; check < 3; ++check)
        EXPECT_EQ(notifier.Check(), Waiting);
    // A buffer handed over before the loss and never archived is a stall all the same.
    HandOver();
    EXPECT_EQ(notifier.Check(), Waiting);
    EXPECT_EQ(notifier.Check(),
              "STATUS=Stalled: no archive pass since the last check; waiting for COM3 (missing since "
              "2026-12-08 10:11:12 UTC).");
    Pass();
    EXPECT_EQ(notifier.Check(), Waiting);
    // The port is back: the check right after may come before the first read.
    PortBack();
    EXPECT_EQ(notifier.Check(), Acquiring);
    Read();
    EXPECT_EQ(notifier.Check(), Acquiring);
    EXPECT_EQ(notifier.Check(), "STATUS=Stalled: no port read since the last check.");
}

TEST_F(ServiceWatchdog, APortMissingAtTheStartIsWaitedForBeforeAnyPass) {
    LosePort();
    ServiceNotifier notifier(*engine, 3);
    EXPECT_EQ(notifier.Check(), Waiting);
    EXPECT_EQ(notifier.Check(), Waiting);
}

TEST_F(ServiceWatchdog, CountersThatWrapAroundAreComparedByTheirDifference) {
    engine->EngineReads.store(0xFFFFFFFFu);
    engine->ArchivePasses.store(0xFFFFFFFEu);
    engine->BufferHandOvers.store(0xFFFFFFFFu);
    ServiceNotifier notifier(*engine, 3);
    Read();  // wraps to 0
    Pass();
    HandOver();
    EXPECT_EQ(notifier.Check(), Acquiring);
    Read();
    Pass();  // wraps to 0, the hand-over of the last check archived
    EXPECT_EQ(notifier.Check(), Acquiring);
    Read();
    EXPECT_EQ(notifier.Check(), Acquiring);  // caught up across the wrap
    Read();
    HandOver();
    EXPECT_EQ(notifier.Check(), Acquiring);
    Read();
    EXPECT_EQ(notifier.Check(), "STATUS=Stalled: no archive pass since the last check.");
}

// Counts the progress reports and signals the event at the report given.
struct Progress {
    HANDLE Event = nullptr;
    int Reports = 0;
    int SignalAt = 0;
};

void OnProgress(void *context) {
    Progress &progress = *static_cast<Progress *>(context);
    if (++progress.Reports == progress.SignalAt)
        SetEvent(progress.Event);
}

TEST(ServiceStartWait, EndsWhenReadyOrWhenTheBoundIsWaited) {
    Progress progress;
    progress.Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(progress.Event, nullptr);

    // The port appears while the start waits: the wait ends there, each step before it reported.
    progress.SignalAt = 2;
    EXPECT_TRUE(WindowsService::WaitReporting(progress.Event, 600000, 1, OnProgress, &progress));
    EXPECT_EQ(progress.Reports, 2);

    // Ready already: no report, even with no time to wait.
    progress.Reports = 0;
    EXPECT_TRUE(WindowsService::WaitReporting(progress.Event, 0, 1, OnProgress, &progress));
    EXPECT_TRUE(WindowsService::WaitReporting(progress.Event, 10, 1, OnProgress, &progress));
    EXPECT_EQ(progress.Reports, 0);

    // Never ready: steps of 2, 2 and 1 ms; a report after each but the last; then it gives up.
    ResetEvent(progress.Event);
    progress.SignalAt = 0;
    EXPECT_FALSE(WindowsService::WaitReporting(progress.Event, 5, 2, OnProgress, &progress));
    EXPECT_EQ(progress.Reports, 2);
    progress.Reports = 0;
    EXPECT_FALSE(WindowsService::WaitReporting(progress.Event, 0, 1, OnProgress, &progress));
    EXPECT_EQ(progress.Reports, 0);

    // A handle nothing can signal ends the wait at once.
    EXPECT_FALSE(WindowsService::WaitReporting(nullptr, 600000, 1, OnProgress, &progress));
    EXPECT_EQ(progress.Reports, 0);

    // Outside the control manager the start does not wait at all.
    EXPECT_FALSE(WindowsService::UnderControlManager());
    EXPECT_TRUE(WindowsService::AwaitStart(progress.Event));
    CloseHandle(progress.Event);
}

}  // namespace
