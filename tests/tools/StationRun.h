// A short real run of kestrune against usonic-sim for the tests of the tools that read the
// data directory, optionally with the program's clock set to another time (libfaketime), and
// the helpers those tests share: child processes, waiting on the data directory, file text.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestRoot.h"

extern char **environ;

namespace stationrun {

const std::string BinDir = KESTRUNE_BIN_DIR;
const std::string FakeTimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// A child process with its standard input and output on pipes and its standard error in a
// file.
class Child {
public:
    Child(const std::vector<std::string> &args, const std::vector<std::string> &extraEnv,
          const std::string &errPath) {
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> envText;
        for (char **e = environ; *e; ++e)
            envText.push_back(*e);
        for (const auto &e : extraEnv)
            envText.push_back(e);
        std::vector<char *> env, argv;
        for (auto &e : envText)
            env.push_back(e.data());
        env.push_back(nullptr);
        std::vector<std::string> argText = args;
        for (auto &a : argText)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argText[0].c_str(), &actions, nullptr, argv.data(), env.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(in[0]);
        out_ = out[0];
        in_ = in[1];
    }
    ~Child() {
        CloseInput();
        Kill(SIGKILL);
        if (out_ >= 0)
            close(out_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    void CloseInput() {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }
    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // The next line of its standard output (blocking), without the line feed.
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    // Everything it writes to standard output until it closes it.
    std::string ReadAll() {
        std::string text;
        char block[4096];
        ssize_t n;
        while ((n = read(out_, block, sizeof block)) > 0)
            text.append(block, static_cast<size_t>(n));
        return text;
    }
    int Wait() {
        if (pid_ <= 0)
            return status_;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return status_;
    }
    void Kill(int signal) {
        if (pid_ > 0) {
            kill(pid_, signal);
            Wait();
        }
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    int status_ = INT_MIN;
};

// Waits, on file-system events in the directory, until the check holds or the limit passes.
inline bool WaitForDirectory(const std::string &directory, const std::function<bool()> &check,
                             int limitSeconds) {
    std::filesystem::create_directories(directory);
    int fd = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(fd, directory.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    bool done = check();
    while (!done && std::chrono::steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0) {
            char events[4096];
            if (read(fd, events, sizeof events) < 0)
                break;
        }
        done = check();
    }
    close(fd);
    return done;
}

inline std::string FileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Lines of a text, without their CR LF; a last line without a line feed is included.
inline std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

inline std::vector<std::string> FilesEndingWith(const std::string &directory, const std::string &suffix) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(directory, error)) {
        std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Messages of the event-log entries with this code, over all days' logs.
inline std::vector<std::string> LogEntries(const std::string &directory, int code) {
    std::vector<std::string> messages;
    char prefix[16];
    snprintf(prefix, sizeof prefix, "  %4d  ", code);
    for (const auto &path : FilesEndingWith(directory, ".log"))
        for (const auto &line : Lines(FileText(path)))
            if (line.size() > 20 && line.compare(12, strlen(prefix), prefix) == 0)
                messages.push_back(line.substr(12 + strlen(prefix)));
    return messages;
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
    StationRun(int rate, const std::string &faketime = "") : faketime_(faketime) {
        sim_.reset(new Child({BinDir + "/usonic-sim", "--rate", std::to_string(rate), "--linger"}, {},
                             root_.Path() + "/usonic-sim.err"));
        device_ = sim_->ReadLine();
        std::vector<std::string> env = FakeTimeEnv(faketime);
        env.push_back("KESTRUNE_COM1=" + device_);
        program_.reset(new Child({BinDir + "/kestrune"}, env, root_.Path() + "/kestrune.err"));
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
