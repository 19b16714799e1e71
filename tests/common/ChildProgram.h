// Runs a program (the station, the simulator, a tool, this test binary as another user or
// with one of its cases selected) as a child process, for the tests that drive it from
// outside, and waits on the files it writes. The child's standard input and output are pipes,
// its standard error goes to a file; it is killed and reaped when the object goes, so a
// failing test leaves no process behind. The one harness of the tests for child processes.
// On Windows it runs this test binary's own cases only (ThisTestCase), with CreateProcessA, for
// the two-process cases that build for both; the rest is POSIX only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/win32.h"

class ChildProgram {
public:
    // Starts args (args[0] the program's path) with the test's environment and extraEnv
    // ("NAME=value") added. Inheritable handles (a ReadyPipe's write end) are passed on.
    ChildProgram(const std::vector<std::string> &args, const std::vector<std::string> &extraEnv) {
        if (args.empty())
            return;
        std::vector<char> environment;
        if (char *block = GetEnvironmentStringsA()) {
            for (const char *entry = block; *entry; entry += strlen(entry) + 1)
                environment.insert(environment.end(), entry, entry + strlen(entry) + 1);
            FreeEnvironmentStringsA(block);
        }
        for (const auto &entry : extraEnv)
            environment.insert(environment.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
        environment.push_back('\0');
        std::string command;
        for (const auto &arg : args)
            command += (command.empty() ? "\"" : " \"") + arg + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (CreateProcessA(args[0].c_str(), &command[0], nullptr, nullptr, TRUE, 0, environment.data(),
                           nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            process_ = info.hProcess;
        }
    }
    ~ChildProgram() {
        if (process_ && !ended_) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, INFINITE);
        }
        if (process_)
            CloseHandle(process_);
    }
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    bool Started() const { return process_ != nullptr; }
    // Waits for it to end; its exit code (-1 when it never started or could not be waited for).
    int Wait() {
        DWORD code = 0;
        if (!process_ || WaitForSingleObject(process_, INFINITE) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_, &code))
            return -1;
        ended_ = true;
        return static_cast<int>(code);
    }

    // The path of this test binary.
    static std::string SelfPath() {
        char exe[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, exe, sizeof exe);
        return length > 0 && length < sizeof exe ? std::string(exe, length) : std::string();
    }

private:
    HANDLE process_ = nullptr;
    bool ended_ = false;
};

// A pipe the parent reads to learn that the child reached a point (the child writes one byte
// to the inherited handle whose value is given in its environment).
class ReadyPipe {
public:
    ReadyPipe() {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&read_, &write_, &inherit, 0))
            read_ = write_ = nullptr;
        else
            SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
    }
    ~ReadyPipe() {
        CloseWriteEnd();
        if (read_)
            CloseHandle(read_);
    }
    std::string WriteFd() const { return std::to_string(reinterpret_cast<uintptr_t>(write_)); }
    void CloseWriteEnd() {
        if (write_)
            CloseHandle(write_);
        write_ = nullptr;
    }
    // Blocks until the child wrote its byte; false when it exited without writing.
    bool WaitReady() {
        char byte;
        DWORD read = 0;
        return ReadFile(read_, &byte, 1, &read, nullptr) && read == 1;
    }
    static void Signal(const char *handleText) {
        char byte = 1;
        DWORD written = 0;
        HANDLE handle =
            reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(handleText, nullptr, 10)));
        WriteFile(handle, &byte, 1, &written, nullptr);
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <functional>

#include "Emulator.h"

extern char **environ;

class ChildProgram {
public:
    // Starts prefix + args with the test's environment and extraEnv ("NAME=value") added. The
    // first word is looked up on PATH when it has no slash; a prefix such as a setpriv command
    // line runs the program as another user. Standard error goes to errPath (truncated), or
    // stays the test's own when errPath is empty.
    ChildProgram(const std::vector<std::string> &args, const std::vector<std::string> &extraEnv,
                 const std::string &errPath = "", const std::vector<std::string> &prefix = {}) {
        // Close-on-exec: a later child must not inherit this one's pipe ends, or closing the
        // input here would not end this one's input.
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (!errPath.empty())
            posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        std::vector<std::string> envText;
        for (char **e = environ; *e; ++e)
            envText.push_back(*e);
        envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
        std::vector<std::string> argText = prefix;
        const std::vector<std::string> command = emulation::Command(args);
        argText.insert(argText.end(), command.begin(), command.end());
        std::vector<char *> env = Pointers(envText), argv = Pointers(argText);
        if (argText.empty() || posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), env.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~ChildProgram() {
        CloseInput();
        Kill(SIGKILL);
        if (out_ >= 0)
            close(out_);
    }
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    bool Started() const { return pid_ > 0; }
    // Its process id while it has not been waited for, -1 after.
    pid_t Pid() const { return pid_; }
    // The path of this test binary.
    static std::string SelfPath() {
        char path[4096];
        const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
    }

    // Closes its standard input (a simulator run with --linger ends then).
    void CloseInput() {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }
    // The next line of its standard output (blocking), without the line feed; what is left
    // when the output ends first.
    std::string ReadLine() {
        bool ended = false;
        return NextLine(ended);
    }
    // The next whole line of its standard output into `line`; false when the output ends first.
    bool ReadLine(std::string &line) {
        bool ended = false;
        line = NextLine(ended);
        return !ended;
    }
    // Reads lines until one equals the text; false when the output ends first.
    bool WaitForLine(const std::string &text) {
        for (bool ended = false; !ended;)
            if (NextLine(ended) == text)
                return true;
        return false;
    }
    // Everything it writes to standard output until it closes it.
    std::string ReadAll() {
        std::string text;
        char block[4096];
        ssize_t n;
        while (out_ >= 0 && (n = read(out_, block, sizeof block)) > 0)
            text.append(block, static_cast<size_t>(n));
        return text;
    }

    // Sends it a signal without waiting for it.
    void Signal(int signal) {
        if (pid_ > 0)
            kill(pid_, signal);
    }
    // Waits for it to end; returns its exit status, or -signal when a signal ended it (INT_MIN
    // when it never started). With `usage`, also the resources it used over its whole life.
    // Once it has ended, further calls return the same status.
    int Wait(struct rusage *usage = nullptr) {
        if (pid_ <= 0)
            return status_;
        int status = 0;
        pid_t result;
        do {
            result = wait4(pid_, &status, 0, usage);
        } while (result < 0 && errno == EINTR);
        pid_ = -1;
        status_ = result < 0 ? INT_MIN : WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return status_;
    }
    // Sends it a signal and waits for it to end.
    void Kill(int signal) {
        if (pid_ > 0) {
            kill(pid_, signal);
            Wait();
        }
    }

private:
    static std::vector<char *> Pointers(std::vector<std::string> &texts) {
        std::vector<char *> pointers;
        for (auto &text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        return pointers;
    }
    std::string NextLine(bool &ended) {
        std::string line;
        char c;
        ssize_t n = 0;
        while (out_ >= 0 && (n = read(out_, &c, 1)) == 1 && c != '\n')
            line += c;
        ended = n != 1;
        return line;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int status_ = INT_MIN;
};

// A pipe the parent reads to learn that the child reached a point (the child writes one byte
// to the descriptor given in its environment; the descriptor is inherited, the harness's own
// pipes are not).
class ReadyPipe {
public:
    ReadyPipe() {
        if (pipe(fds_) != 0)
            fds_[0] = fds_[1] = -1;
    }
    ~ReadyPipe() {
        CloseWriteEnd();
        if (fds_[0] >= 0)
            close(fds_[0]);
    }
    std::string WriteFd() const { return std::to_string(fds_[1]); }
    void CloseWriteEnd() {
        if (fds_[1] >= 0)
            close(fds_[1]);
        fds_[1] = -1;
    }
    // Blocks until the child wrote its byte; false when it exited without writing.
    bool WaitReady() {
        char byte;
        return read(fds_[0], &byte, 1) == 1;
    }
    static void Signal(const char *fdText) {
        char byte = 1;
        (void)!write(std::atoi(fdText), &byte, 1);
    }

private:
    int fds_[2];
};

// The user id of "nobody", the second user of the cases that check what another local user can
// do; such a case needs root and setpriv.
constexpr char NobodyId[] = "65534";

// A command prefix that runs the program as nobody, without supplementary groups.
inline std::vector<std::string> AsNobody() {
    return {"setpriv", std::string("--reuid=") + NobodyId, std::string("--regid=") + NobodyId,
            "--clear-groups", "--"};
}

// Why a case with a second user cannot run here, or empty when it can.
inline std::string TwoUserSkipReason() {
    if (geteuid() != 0)
        return "needs root to run a second process as nobody";
    if (access("/usr/bin/setpriv", X_OK) != 0 && access("/bin/setpriv", X_OK) != 0)
        return "needs setpriv (util-linux)";
    return "";
}

// Waits, on file-system events in the directory (made when missing), until the check holds or
// the limit passes; the limit only ends a failing run.
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

#endif

// The arguments that run this test binary again with one of its cases selected.
inline std::vector<std::string> ThisTestCase(const std::string &filter) {
    return {ChildProgram::SelfPath(), "--gtest_filter=" + filter};
}

// The whole content of a file; empty when it cannot be read.
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

// The paths of the files in the directory whose names end with suffix, sorted.
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
