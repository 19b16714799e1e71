// The program under a service manager's notification socket that the test owns: READY=1
// once acquisition runs, WATCHDOG=1 while the engine reads and the archive runs passes, none
// while the archive is stalled (the test holds the event log's lock, on which the archive's
// next pass waits), and STOPPING=1 on SIGTERM. A port that is lost, or missing at the start,
// is waited for: WATCHDOG=1 goes on with a status saying so, and "Acquiring." once it is back.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ChildProgram.h"
#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {

const std::string BinDir = KESTRUNE_BIN_DIR;

// The notification socket: a datagram socket bound to a path.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { close(fd_); }
    bool Bound() const { return bound_; }
    // The next message, or "" when none came within the limit.
    std::string Next(int limitSeconds) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, limitSeconds * 1000) <= 0)
            return "";
        char message[4096];
        const ssize_t n = recv(fd_, message, sizeof message, 0);
        return n > 0 ? std::string(message, static_cast<size_t>(n)) : std::string();
    }
    // Reads messages until one contains text; returns it, or "" at the limit.
    std::string Until(const std::string &text, int limitSeconds, std::vector<std::string> *seen = nullptr) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
        while (std::chrono::steady_clock::now() < end) {
            const std::string message = Next(1);
            if (seen != nullptr && !message.empty())
                seen->push_back(message);
            if (message.find(text) != std::string::npos)
                return message;
        }
        return "";
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

bool HasWatchdog(const std::string &message) {
    return message.find("WATCHDOG=1") != std::string::npos;
}

const std::string WaitingStatus = "STATUS=Waiting for COM1 (missing since ";

// The time a waiting status gives ("... missing since 2026-12-08 10:11:12 UTC)."), or -1.
time_t MissingSince(const std::string &message) {
    const size_t at = message.find(WaitingStatus);
    if (at == std::string::npos)
        return -1;
    const std::string text = message.substr(at + WaitingStatus.size());
    tm fields = {};
    char rest[8] = {};
    if (sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d %7s", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
               &fields.tm_hour, &fields.tm_min, &fields.tm_sec, rest) != 7 ||
        std::string(rest) != "UTC).")
        return -1;
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    return timegm(&fields);
}

// Expects `count` checks in a row, each with WATCHDOG=1 and the waiting status naming a time
// from `earliest` to now; returns that time.
time_t ExpectWaitingChecks(NotifySocket &notify, int count, time_t earliest) {
    time_t since = -1;
    for (int check = 0; check < count; ++check) {
        const std::string message = check == 0 ? notify.Until(WaitingStatus, 60) : notify.Next(30);
        EXPECT_TRUE(HasWatchdog(message)) << message;
        const time_t at = MissingSince(message);
        EXPECT_GE(at, earliest) << message;
        EXPECT_LE(at, time(nullptr)) << message;
        if (check > 0) {
            EXPECT_EQ(at, since) << message;  // one episode, one time
        }
        since = at;
    }
    return since;
}

TEST(ServiceNotify, ReadyWatchdogOnlyWhileHealthyAndStopping) {
    TestRoot root;
    NotifySocket notify(root.Path() + "/notify");
    ASSERT_TRUE(notify.Bound());

    // 2000 lines a second: a buffer goes to the archive every two seconds, so every check
    // (half of the 8-second watchdog) of a healthy run sees reads and a pass.
    ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "2000"}, {}, root.Path() + "/sim.err");
    ASSERT_TRUE(sim.Started());
    const std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program(
        {BinDir + "/kestrune"},
        {"KESTRUNE_COM1=" + device, "NOTIFY_SOCKET=" + root.Path() + "/notify", "WATCHDOG_USEC=8000000"},
        root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());

    const std::string ready = notify.Next(60);
    EXPECT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready;
    EXPECT_TRUE(HasWatchdog(notify.Until("WATCHDOG=1", 60)));

    // Stall the archive: its next pass waits for the event log's lock, held here.
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE lock =
            CreateMutexA(nullptr, FALSE, "QORL Data Acquisition Service EventLog_EventLogDiskWrite");
        WaitForSingleObject(lock, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(lock);
        CloseHandle(lock);
    });
    EXPECT_EQ(WaitForSingleObject(taken, 30000), WAIT_OBJECT_0);
    // The check that first sees no pass says so; it and the two after it carry no WATCHDOG=1.
    const std::string stalled = notify.Until("STATUS=Stalled: no archive pass", 30);
    EXPECT_FALSE(stalled.empty());
    EXPECT_FALSE(HasWatchdog(stalled)) << stalled;
    for (int check = 0; check < 2; ++check) {
        const std::string message = notify.Next(30);
        EXPECT_NE(message.find("STATUS=Stalled"), std::string::npos) << message;
        EXPECT_FALSE(HasWatchdog(message)) << message;
    }
    SetEvent(release);
    holder.join();
    CloseHandle(taken);
    CloseHandle(release);

    // Passes resume, and with them the sign of life.
    EXPECT_TRUE(HasWatchdog(notify.Until("WATCHDOG=1", 60)));

    program.Signal(SIGTERM);
    EXPECT_NE(notify.Until("STOPPING=1", 60), "");
    EXPECT_EQ(program.Wait(), 0);
    sim.Kill(SIGTERM);
}

TEST(ServiceNotify, WithoutAWatchdogOnlyReadyAndStopping) {
    TestRoot root;
    NotifySocket notify(root.Path() + "/notify");
    ASSERT_TRUE(notify.Bound());
    // With a socket but no watchdog interval: READY=1, then no checks, then STOPPING=1.
    ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "2000"}, {}, root.Path() + "/sim.err");
    ASSERT_TRUE(sim.Started());
    const std::string device = sim.ReadLine();
    ChildProgram program(
        {BinDir + "/kestrune"},
        {"KESTRUNE_COM1=" + device, "NOTIFY_SOCKET=" + root.Path() + "/notify", "KESTRUNE_RUN_SECONDS=3"},
        root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(notify.Next(60).rfind("READY=1\n", 0), 0u);
    const std::string next = notify.Next(60);
    EXPECT_EQ(next.rfind("STOPPING=1\n", 0), 0u) << next;
    EXPECT_EQ(program.Wait(), 0);
    sim.Kill(SIGTERM);
}

// The simulator ends (the adapter is unplugged: its pty hangs up and its link goes): the
// engine waits for the port, and the watchdog is fed on with a status saying so, although no
// buffer reaches the archive meanwhile. A simulator on the same link brings "Acquiring." back.
TEST(ServiceNotify, ALostPortIsWaitedForWithTheWatchdogFed) {
    TestRoot root;
    NotifySocket notify(root.Path() + "/notify");
    ASSERT_TRUE(notify.Bound());
    const std::string link = root.Path() + "/com1";
    ChildProgram sim({BinDir + "/kestrune-sim", "--link", link, "--rate", "2000"}, {},
                     root.Path() + "/sim.err");
    ASSERT_TRUE(sim.Started());
    ASSERT_FALSE(sim.ReadLine().empty());
    ChildProgram program(
        {BinDir + "/kestrune"},
        {"KESTRUNE_COM1=" + link, "NOTIFY_SOCKET=" + root.Path() + "/notify", "WATCHDOG_USEC=8000000"},
        root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(notify.Next(60).rfind("READY=1\n", 0), 0u);
    EXPECT_EQ(notify.Until("WATCHDOG=1\nSTATUS=Acquiring.", 60), "WATCHDOG=1\nSTATUS=Acquiring.");

    const time_t lostAfter = time(nullptr);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    // Three checks in a row: the first may still count the last reads and the last pass;
    // the two after it have neither and are healthy all the same.
    ExpectWaitingChecks(notify, 3, lostAfter);

    ChildProgram sim2({BinDir + "/kestrune-sim", "--link", link, "--rate", "2000"}, {},
                      root.Path() + "/sim2.err");
    ASSERT_TRUE(sim2.Started());
    ASSERT_FALSE(sim2.ReadLine().empty());
    EXPECT_EQ(notify.Until("WATCHDOG=1\nSTATUS=Acquiring.", 60), "WATCHDOG=1\nSTATUS=Acquiring.");

    program.Signal(SIGTERM);
    EXPECT_NE(notify.Until("STOPPING=1", 60), "");
    EXPECT_EQ(program.Wait(), 0);
    sim2.Kill(SIGTERM);
    std::string log;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root.Path())) {
        if (entry.path().extension() == ".log")
            log += FileText(entry.path().string());
    }
    EXPECT_NE(log.find("  5303  Metek1: COM1 lost"), std::string::npos) << log;
    EXPECT_NE(log.find("  5304  Metek1: COM1 is back."), std::string::npos) << log;
}

// No port at the start: the program is ready, and it feeds the watchdog while it waits for
// the port (the archive has not run a single pass); once the port appears it acquires.
TEST(ServiceNotify, APortMissingAtTheStartIsWaitedForWithTheWatchdogFed) {
    TestRoot root;
    NotifySocket notify(root.Path() + "/notify");
    ASSERT_TRUE(notify.Bound());
    const std::string link = root.Path() + "/com1";
    const time_t startedAfter = time(nullptr);
    ChildProgram program(
        {BinDir + "/kestrune"},
        {"KESTRUNE_COM1=" + link, "NOTIFY_SOCKET=" + root.Path() + "/notify", "WATCHDOG_USEC=8000000"},
        root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(notify.Next(60).rfind("READY=1\n", 0), 0u);
    ExpectWaitingChecks(notify, 3, startedAfter);

    ChildProgram sim({BinDir + "/kestrune-sim", "--link", link, "--rate", "2000"}, {},
                     root.Path() + "/sim.err");
    ASSERT_TRUE(sim.Started());
    ASSERT_FALSE(sim.ReadLine().empty());
    EXPECT_EQ(notify.Until("WATCHDOG=1\nSTATUS=Acquiring.", 60), "WATCHDOG=1\nSTATUS=Acquiring.");

    program.Signal(SIGTERM);
    EXPECT_NE(notify.Until("STOPPING=1", 60), "");
    EXPECT_EQ(program.Wait(), 0);
    sim.Kill(SIGTERM);
    EXPECT_NE(
        FileText(root.Path() + "/kestrune.err").find("Metek1: COM1 is missing (error 2); waiting for it."),
        std::string::npos);
}

// Under systemd, with stderr the stream JOURNAL_STREAM names, warnings and errors also go to
// stderr as one line each with the sd-daemon priority and the code; information does not.
TEST(Journal, WarningsAndErrorsReachTheJournalStreamWithTheirPriority) {
    if (std::thread::hardware_concurrency() >= 32)
        GTEST_SKIP() << "the machine has logical processor 31, which the test names as missing";
    TestRoot root;
    const std::string data = root.Path() + "/c/Data/Code/Projects/Win32Console/Kestrune";
    const std::string errPath = root.Path() + "/kestrune.err";
    // A mask of a processor this machine lacks: warning 5108. A missing port: errors 5103, 5303.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                              "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD mask = 0x80000000u;
    ASSERT_EQ(
        RegSetValueExA(key, "AffinityMask", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&mask), sizeof mask),
        ERROR_SUCCESS);
    RegCloseKey(key);
    { std::ofstream(errPath.c_str()); }
    struct stat err = {};
    ASSERT_EQ(stat(errPath.c_str(), &err), 0);
    const std::string stream = std::to_string(err.st_dev) + ":" + std::to_string(err.st_ino);

    ChildProgram program({BinDir + "/kestrune"},
                         {"KESTRUNE_COM1=" + root.Path() + "/no-such-port", "JOURNAL_STREAM=" + stream},
                         errPath);
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForDirectory(
        data, [&] { return !LoggedMessages(data, 5303).empty(); }, 60));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);

    std::vector<std::string> journal;
    for (const std::string &line : Lines(FileText(errPath)))
        if (line.rfind("<", 0) == 0)
            journal.push_back(line);
    const std::vector<std::string> warnings = LoggedMessages(data, 5108);
    const std::vector<std::string> errors = LoggedMessages(data, 5303);
    ASSERT_FALSE(warnings.empty());
    ASSERT_FALSE(errors.empty());
    for (const std::string &warning : warnings)
        EXPECT_NE(std::find(journal.begin(), journal.end(), "<4>5108 " + warning), journal.end())
            << FileText(errPath);
    for (const std::string &error : errors)
        EXPECT_NE(std::find(journal.begin(), journal.end(), "<3>5303 " + error), journal.end())
            << FileText(errPath);
    for (const std::string &line : journal)
        EXPECT_TRUE(line.rfind("<3>", 0) == 0 || line.rfind("<4>", 0) == 0) << line;
}

}  // namespace
