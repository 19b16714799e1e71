// Runs tools/usonic-sim as a child process for tests and benchmarks: its pty becomes
// KESTRUNE_COM1, its log tells what was sent and when.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "ThisProcess.h"

// One line of the simulator's log.
struct SentLine {
    unsigned long Number = 0;
    unsigned long long SendTime = 0;  // FILETIME units; with --wire, of the first byte
    unsigned long long FeedTime = 0;  // --wire: the line feed's send time, else 0
    char Kind = 0;                    // L, G, M, O, P
    std::string Text;                 // the record as the receiver should see it
};

class Simulator {
public:
    // Starts usonic-sim with the arguments; reads the device path it prints.
    explicit Simulator(const std::vector<std::string> &arguments, const std::string &logPath = "")
        : logPath_(logPath), child_(Arguments(arguments, logPath), {}) {
        if (child_.Started())
            device_ = child_.ReadLine();
    }
    ~Simulator() { End(); }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The simulator beside the running executable's directory's tools.
    static std::string Program() {
#ifdef KESTRUNE_BIN_DIR
        return std::string(KESTRUNE_BIN_DIR) + "/kestrune-sim";
#else
        const std::string path = ExecutablePath();
        return path.substr(0, path.rfind('/') + 1) + "kestrune-sim";
#endif
    }

    bool Ok() const {
        return child_.Started() && !device_.empty();
    }
    const std::string &Device() const {
        return device_;
    }

    // Waits until the simulator reports that it sent everything; returns the count.
    long WaitDone() {
        for (;;) {
            std::string line = child_.ReadLine();
            if (line.empty())
                return -1;
            if (line.compare(0, 5, "done ") == 0)
                return atol(line.c_str() + 5);
        }
    }

    // Closes the simulator's stdin (ending --linger) and waits for it to exit.
    void End() {
        child_.CloseInput();
        child_.Wait();
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
            std::string text = at == std::string::npos ? "" : row.substr(at + 1);
            const size_t tab = text.rfind('\t');  // --wire: the line feed's time follows
            if (tab != std::string::npos) {
                line.FeedTime = std::strtoull(text.c_str() + tab + 1, nullptr, 10);
                text.resize(tab);
            }
            line.Text = Unescape(text);
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
    static std::vector<std::string> Arguments(const std::vector<std::string> &arguments,
                                              const std::string &logPath) {
        std::vector<std::string> args = {Program()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        if (!logPath.empty()) {
            args.push_back("--log");
            args.push_back(logPath);
        }
        return args;
    }

    std::string logPath_;
    ChildProgram child_;
    std::string device_;
};
