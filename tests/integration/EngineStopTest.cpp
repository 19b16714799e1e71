// Stop's bounded wait for an engine thread that never ends: after 10 s the thread is
// terminated and the engine stays usable. Kept out of the unit tests because it takes those
// 10 s.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "acquisition/DataAcquisition.h"
#include "common/TestRoot.h"

namespace {

// An engine whose Acquire blocks on an event nobody sets.
class BlockingEngine : public DataAcquisition {
public:
    explicit BlockingEngine(EventLog &log) : DataAcquisition(log) {
        Entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        Never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~BlockingEngine() override {
        CloseHandle(Entered);
        CloseHandle(Never);
    }
    void Acquire() override {
        SetEvent(Entered);
        WaitForSingleObject(Never, INFINITE);
        AcquireReturned.store(true);
    }
    HANDLE Entered = nullptr;
    HANDLE Never = nullptr;
    std::atomic<bool> AcquireReturned{false};
};

std::string ReadLogs(const std::string &directory) {
    std::string all;
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() != ".log")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        all += content.str();
    }
    return all;
}

TEST(EngineStop, TerminatesAnAcquireThatNeverReturns) {
    TestRoot root;
    EventLog log("Engine stop test", root.Drive("C:\\Data").c_str());
    auto engine = std::make_unique<BlockingEngine>(log);
    ASSERT_EQ(engine->Start(), 0u);
    ASSERT_EQ(WaitForSingleObject(engine->Entered, INFINITE), WAIT_OBJECT_0);
    engine->Stop();
    EXPECT_FALSE(engine->AcquireReturned.load());
    EXPECT_EQ(engine->EngineThreadHandle, nullptr);
    EXPECT_NE(WaitForSingleObject(engine->StopRequestEvent, 0), WAIT_OBJECT_0);
    EXPECT_NE(WaitForSingleObject(engine->EngineReadyEvent, 0), WAIT_OBJECT_0);
    // The engine is still usable: its log and events work after the termination.
    engine->EventLogRef.Write(1, "after termination");
    EXPECT_NE(ReadLogs(root.Posix("c/Data")).find("     1  after termination\r\n"), std::string::npos);
}

}  // namespace
