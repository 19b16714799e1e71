// The far end of a serial line for tests: a pty pair whose slave the layer opens as a COM
// port (through KESTRUNE_COMn) and whose master the test writes to and reads from.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

class PtyPeer {
public:
    // Opens a pty pair and points KESTRUNE_COM<port> at its slave.
    explicit PtyPeer(unsigned port = 1) : port_(port) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        const char *name = ptsname(master_);
        if (name == nullptr)
            return;
        slave_ = name;
        struct termios tio;
        if (tcgetattr(master_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(master_, TCSANOW, &tio);
        }
        snprintf(variable_, sizeof variable_, "KESTRUNE_COM%u", port_);
        setenv(variable_, slave_.c_str(), 1);
    }
    ~PtyPeer() {
        if (master_ >= 0)
            close(master_);
        if (variable_[0] != '\0')
            unsetenv(variable_);
    }
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool Ok() const { return master_ >= 0 && !slave_.empty(); }
    const std::string &SlavePath() const { return slave_; }
    int MasterFd() const { return master_; }
    // "\\.\COMn" of this pair.
    std::string PortName() const { return "\\\\.\\COM" + std::to_string(port_); }

    // Sends bytes to the port, all of them.
    bool Send(const std::string &bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads exactly count bytes the port wrote, waiting for them up to timeoutMs in all.
    std::string Receive(size_t count, int timeoutMs = 10000) const {
        std::string got;
        while (got.size() < count) {
            struct pollfd in = {master_, POLLIN, 0};
            if (poll(&in, 1, timeoutMs) <= 0)
                break;
            char chunk[256];
            ssize_t n =
                read(master_, chunk, count - got.size() < sizeof chunk ? count - got.size() : sizeof chunk);
            if (n <= 0)
                break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }
    // Closes the master: the port's device hangs up.
    void HangUp() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

private:
    unsigned port_;
    int master_ = -1;
    std::string slave_;
    char variable_[32] = {};
};
