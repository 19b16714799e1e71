// Runs tools/usonic-sim as a child process for tests and benchmarks: its pty becomes
// KESTRUNE_COM1, its log tells what was sent and when.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

// One line of the simulator's log.
struct SentLine {
    unsigned long Number = 0;
    unsigned long long SendTime = 0;  // FILETIME units
    char Kind = 0;                    // L, G, M, O, P
    std::string Text;                 // the record as the receiver should see it
};

class Simulator {
public:
    // Starts usonic-sim with the arguments; reads the device path it prints.
    explicit Simulator(const std::vector<std::string> &arguments, const std::string &logPath = "") {
        std::vector<std::string> args = {Program()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        if (!logPath.empty()) {
            args.push_back("--log");
            args.push_back(logPath);
        }
        logPath_ = logPath;
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        if (pid_ > 0)
            device_ = ReadLine();
    }
    ~Simulator() { End(); }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The simulator beside the running executable's directory's tools.
    static std::string Program() {
#ifdef KESTRUNE_BIN_DIR
        return std::string(KESTRUNE_BIN_DIR) + "/usonic-sim";
#else
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./x");
        return path.substr(0, path.rfind('/')) + "/usonic-sim";
#endif
    }

    bool Ok() const {
        return pid_ > 0 && !device_.empty();
    }
    const std::string &Device() const {
        return device_;
    }

    // Waits until the simulator reports that it sent everything; returns the count.
    long WaitDone() {
        for (;;) {
            std::string line = ReadLine();
            if (line.empty())
                return -1;
            if (line.compare(0, 5, "done ") == 0)
                return atol(line.c_str() + 5);
        }
    }

    // Closes the simulator's stdin (ending --linger) and waits for it to exit.
    void End() {
        if (stdin_ >= 0)
            close(stdin_);
        stdin_ = -1;
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (stdout_ >= 0)
            close(stdout_);
        stdout_ = -1;
    }

    std::vector<SentLine> Log() const {
        std::vector<SentLine> lines;
        std::ifstream file(logPath_);
        std::string row;
        while (std::getline(file, row)) {
            std::istringstream fields(row);
            SentLine line;
            fields >> line.Number >> line.SendTime >> line.Kind;
            size_t at = row.find(' ');
            at = row.find(' ', at + 1);
            at = row.find(' ', at + 1);
            line.Text = Unescape(at == std::string::npos ? "" : row.substr(at + 1));
            lines.push_back(line);
        }
        return lines;
    }

    static std::string Unescape(const std::string &text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
                out += static_cast<char>(strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
                i += 3;
            } else {
                out += text[i];
            }
        }
        return out;
    }

private:
    std::string ReadLine() {
        std::string line;
        char c;
        while (stdout_ >= 0) {
            ssize_t n = read(stdout_, &c, 1);
            if (n <= 0)
                break;
            if (c == '\n')
                return line;
            line += c;
        }
        return line;
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string device_;
    std::string logPath_;
};
