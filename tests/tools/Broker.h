// mosquitto for the tests of the publisher and the overview: a broker on a free loopback port
// with its configuration and log in a directory of the test's own; it keeps nothing over a
// restart.
#pragma once

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "common/ChildProgram.h"

namespace brokertest {

// A free loopback port: bound, read back and given up (the broker takes it right after).
inline int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// mosquitto with its configuration and log in the directory.
class Broker {
public:
    Broker(const std::string &directory, int port) : directory_(directory) {
        const passwd *user = getpwuid(getuid());
        std::ofstream(directory + "/mosquitto.conf", std::ios::binary)
            << "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n" +
                   "persistence false\nlog_dest file " + directory + "/mosquitto.log\nuser " +
                   (user ? user->pw_name : "root") + "\n";
    }
    bool Start() {
        process_.reset(new ChildProgram({"mosquitto", "-c", directory_ + "/mosquitto.conf"}, {},
                                        directory_ + "/mosquitto.err"));
        ++starts_;
        return WaitForDirectory(
            directory_,
            [this] { return Count(FileText(directory_ + "/mosquitto.log"), " running") >= starts_; }, 20);
    }
    pid_t Pid() const { return process_ ? process_->Pid() : -1; }
    void Stop() {
        if (process_)
            process_->Kill(SIGTERM);
        process_.reset();
    }

private:
    static int Count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
    std::string directory_;
    int starts_ = 0;
    std::unique_ptr<ChildProgram> process_;
};

}  // namespace brokertest
