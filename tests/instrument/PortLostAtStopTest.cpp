// A port that hangs up while a stop is under way: the stop ends acquisition, without a lost
// port (5303) in the event log and without a retry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/BufferConsumer.h"
#include "common/Simulator.h"
#include "common/TestRoot.h"
#include "instrument/SerialComm.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

// Read on the engine thread at each wake-up. Once lines have come, it ends the simulator (the
// pty hangs up) and requests the stop, both before the engine reads what the wake-up brought.
struct HangUpAtStop {
    Simulator *Sim = nullptr;
    HANDLE StopRequest = nullptr;
    HANDLE Fired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int WakeUps = 0;
};

void ClockThatHangsUp(void *context, FILETIME *wallTime, LARGE_INTEGER *counter) {
    auto *hook = static_cast<HangUpAtStop *>(context);
    if (++hook->WakeUps == 1) {
        SetEvent(hook->StopRequest);
        hook->Sim->End();
        SetEvent(hook->Fired);
    }
    QueryPerformanceCounter(counter);
    GetSystemTimeAsFileTime(wallTime);
}

TEST(PortLostAtStop, IsNoOutage) {
    TestRoot root;
    const DWORD settle = SerialComm::SettleTimeMs;
    SerialComm::SettleTimeMs = 50;
    {
        EventLog log("Stop Test EventLog", root.Drive("C:\\Data\\StopTest").c_str());
        SonicMetek3ClassAMPSerial engine("Metek", "666", log);
        Simulator sim({"--after-flush", "--count", "20", "--rate", "200", "--linger"},
                      root.Path() + "/sim.log");
        ASSERT_TRUE(sim.Ok());
        setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
        HangUpAtStop hook;
        hook.Sim = &sim;
        hook.StopRequest = engine.StopRequestEvent;
        engine.ReadClocks = ClockThatHangsUp;
        engine.ClockContext = &hook;
        engine.ReopenIntervalMs = 600000;  // a retry would keep Stop waiting
        Consumer consumer(engine, false);
        ASSERT_EQ(engine.Start(), 0u);
        EXPECT_EQ(WaitForSingleObject(hook.Fired, 30000), WAIT_OBJECT_0);
        engine.Stop();
        CloseHandle(hook.Fired);
        EXPECT_GE(hook.WakeUps, 1);
        unsetenv("KESTRUNE_COM1");
    }
    SerialComm::SettleTimeMs = settle;

    int lost = 0;
    for (const auto &entry : std::filesystem::directory_iterator(root.Posix("c/Data/StopTest"))) {
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            lost += line.find("  5303  ") == 12;
        }
    }
    EXPECT_EQ(lost, 0);
}

}  // namespace
