// Runs this test binary again as a child process with one test selected and extra
// environment variables, for the cases that need a second process (named mutexes).
#pragma once

// On Windows the child is started with CreateProcessA and the pipe is an anonymous pipe
// whose write end the child inherits.
#ifdef _WIN32
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

class ChildProcess {
public:
    // Starts "<this executable> --gtest_filter=<filter>" with the variables added; inheritable
    // handles (a ReadyPipe's write end) are passed on.
    ChildProcess(const std::string &filter, const std::vector<std::pair<std::string, std::string>> &variables) {
        std::vector<char> environment;
        if (char *block = GetEnvironmentStringsA()) {
            const char *entry = block;
            while (*entry) {
                const size_t length = strlen(entry) + 1;
                environment.insert(environment.end(), entry, entry + length);
                entry += length;
            }
            FreeEnvironmentStringsA(block);
        }
        for (const auto &variable : variables) {
            const std::string entry = variable.first + "=" + variable.second;
            environment.insert(environment.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
        }
        environment.push_back('\0');
        char exe[MAX_PATH];
        if (GetModuleFileNameA(nullptr, exe, sizeof exe) == 0)
            return;
        std::string command = "\"" + std::string(exe) + "\" --gtest_filter=" + filter;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        started_ = CreateProcessA(exe, &command[0], nullptr, nullptr, TRUE, 0, environment.data(), nullptr,
                                  &startup, &info) != FALSE;
        if (started_) {
            CloseHandle(info.hThread);
            process_ = info.hProcess;
        }
    }
    ~ChildProcess() {
        if (started_ && !reaped_)
            Wait();
        if (process_)
            CloseHandle(process_);
    }
    bool Started() const { return started_; }
    // The child's exit code (-1 when it could not be waited for).
    int Wait() {
        reaped_ = true;
        DWORD code = 0;
        if (WaitForSingleObject(process_, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process_, &code))
            return -1;
        return static_cast<int>(code);
    }

private:
    HANDLE process_ = nullptr;
    bool started_ = false;
    bool reaped_ = false;
};

// A pipe the parent reads to learn that the child reached a point (the child writes one
// byte to the inherited handle whose value is given in its environment).
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
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/Emulator.h"

extern char **environ;

class ChildProcess {
public:
    // Starts "/proc/self/exe --gtest_filter=<filter>" with the variables added; with a
    // prefix (such as a setpriv command line), the prefix runs this binary.
    ChildProcess(const std::string &filter, const std::vector<std::pair<std::string, std::string>> &variables,
                 const std::vector<std::string> &prefix = {}) {
        std::vector<std::string> environment;
        for (char **entry = environ; *entry; ++entry)
            environment.emplace_back(*entry);
        for (const auto &variable : variables)
            environment.push_back(variable.first + "=" + variable.second);
        std::vector<char *> envp;
        for (auto &entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = prefix;
        const std::vector<std::string> command = emulation::Command(
            {prefix.empty() ? std::string("/proc/self/exe") : SelfPath(), "--gtest_filter=" + filter});
        args.insert(args.end(), command.begin(), command.end());
        std::vector<char *> argv;
        for (auto &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        started_ = posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) == 0;
    }
    // The path of this test binary.
    static std::string SelfPath() {
        char path[4096];
        ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
    }
    pid_t Pid() const { return pid_; }
    ~ChildProcess() {
        if (started_ && !reaped_)
            Wait();
    }
    bool Started() const { return started_; }
    // The child's exit status (-1 when it did not exit normally).
    int Wait() {
        int status = 0;
        pid_t result;
        do {
            result = waitpid(pid_, &status, 0);
        } while (result < 0 && errno == EINTR);
        reaped_ = true;
        if (result < 0)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    bool started_ = false;
    bool reaped_ = false;
};

// A pipe the parent reads to learn that the child reached a point (the child writes one
// byte to the descriptor given in its environment).
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
        int fd = std::atoi(fdText);
        (void)!write(fd, &byte, 1);
    }

private:
    int fds_[2];
};
#endif
