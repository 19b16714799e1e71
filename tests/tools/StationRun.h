// A short real run of kestrune against usonic-sim for the tests of the tools that read the
// data directory, optionally with the program's clock set to another time (libfaketime), and
// the helpers those tests share on top of common/ChildProgram.h: event-log entries, data lines.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/LogEntries.h"
#include "common/TestRoot.h"

namespace stationrun {

const std::string BinDir = KESTRUNE_BIN_DIR;
const std::string FakeTimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// The tools' tests and benchmarks name the child process Child.
using Child = ChildProgram;

// Messages of the event-log entries with this code, over all days' logs.
inline std::vector<std::string> LogEntries(const std::string &directory, int code) {
    return LoggedMessages(directory, code);
}

// Number of lines after the header in the data files ending with suffix (header lines: 1 for
// raw files, 3 for statistics files).
inline size_t DataLines(const std::string &directory, const std::string &suffix, size_t headerLines) {
    size_t n = 0;
    for (const auto &path : FilesEndingWith(directory, suffix)) {
        size_t lines = Lines(FileText(path)).size();
        n += lines > headerLines ? lines - headerLines : 0;
    }
    return n;
}

// The clock of a child under libfaketime: FAKETIME "@2026-12-31 23:59:57" starts it at that UTC
// time, "+12.5" runs it that many seconds ahead. The monotonic clock is shifted alike: with it
// left real (DONT_FAKE_MONOTONIC), the library's timed waits on monotonic condition variables
// return at once and the program's real-time threads spin.
inline std::vector<std::string> FakeTimeEnv(const std::string &faketime) {
    if (faketime.empty())
        return {};
    return {"LD_PRELOAD=" + FakeTimeLibrary, "FAKETIME=" + faketime};
}

// An offset for FakeTimeEnv that puts the clock a few seconds before a whole minute, so a
// statistics period (60 s, on whole minutes) closes soon after the start.
inline std::string SecondsBeforeMinute(int seconds) {
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    long long offset = ((60000 - seconds * 1000 - now % 60000) % 60000 + 60000) % 60000;
    char text[32];
    snprintf(text, sizeof text, "+%lld.%03lld", offset / 1000, offset % 1000);
    return text;
}

// kestrune on the simulator's pty, with a temporary KESTRUNE_ROOT; faketime, when given, is
// the program's clock (see FakeTimeEnv).
class StationRun {
public:
    // args: options for kestrune ("--stats-period", "2"); simArgs: more for usonic-sim.
    StationRun(int rate, const std::string &faketime = "", const std::vector<std::string> &args = {},
               const std::vector<std::string> &simArgs = {})
        : faketime_(faketime) {
        std::vector<std::string> sim = {BinDir + "/kestrune-sim", "--rate", std::to_string(rate), "--linger"};
        sim.insert(sim.end(), simArgs.begin(), simArgs.end());
        sim_.reset(new Child(sim, {}, root_.Path() + "/usonic-sim.err"));
        device_ = sim_->ReadLine();
        std::vector<std::string> env = FakeTimeEnv(faketime);
        env.push_back("KESTRUNE_COM1=" + device_);
        std::vector<std::string> command = {BinDir + "/kestrune"};
        command.insert(command.end(), args.begin(), args.end());
        program_.reset(new Child(command, env, root_.Path() + "/kestrune.err"));
    }
    ~StationRun() { Stop(); }

    static bool FakeTimeAvailable() { return access(FakeTimeLibrary.c_str(), R_OK) == 0; }

    bool Started() const { return !device_.empty() && program_ && program_->Started(); }
    const std::string &Root() const { return root_.Path(); }
    std::string Data() const { return root_.Path() + "/c/Data/Code/Projects/Win32Console/Kestrune"; }
    pid_t ProgramPid() const { return program_ ? program_->Pid() : -1; }
    const std::string &FakeTime() const { return faketime_; }

    // Ends the program and the simulator.
    void Stop() {
        if (program_)
            program_->Kill(SIGTERM);
        if (sim_) {
            sim_->CloseInput();
            sim_->Kill(SIGTERM);
        }
    }

private:
    std::string faketime_;
    TestRoot root_;
    std::string device_;
    std::unique_ptr<Child> sim_;
    std::unique_ptr<Child> program_;
};

}  // namespace stationrun
