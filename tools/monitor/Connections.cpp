#include "tools/monitor/Connections.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "tools/monitor/Server.h"

namespace monitor {

static_assert(Workers > MaxConnections, "a new connection must find a free worker at the bound");

}  // namespace monitor

// Debian's HTTP library is not built with ThreadSanitizer: the synchronisation inside it (its
// function-local statics) is invisible, so the string copies and compares it makes through the
// C library are reported as races between workers answering at once. Those reports are left
// out; everything built here stays checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace monitor {

namespace {

using Clock = std::chrono::steady_clock;

// poll() for one socket, again after a signal; > 0 when ready, 0 on timeout, < 0 on error.
int WaitFor(int fd, short events, int timeoutMs) {
    pollfd entry = {fd, events, 0};
    for (;;) {
        int ready = poll(&entry, 1, timeoutMs);
        if (ready >= 0 || errno != EINTR)
            return ready;
    }
}

int TimeoutMs(time_t seconds, time_t micros) {
    return static_cast<int>(std::min<long long>(seconds * 1000LL + micros / 1000, 24 * 3600 * 1000LL));
}

void Address(int fd, bool peer, std::string &ip, int &port) {
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    ip.clear();
    port = 0;
    if ((peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length)
              : getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length)) != 0)
        return;
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    ip = text;
}

// One connection's bytes, buffered (the library reads request lines a byte at a time). Every
// read of a request waits at most until the request's deadline, set when its first byte came;
// each write waits at most the write timeout.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(int fd, int readTimeoutMs, int writeTimeoutMs)
        : fd_(fd), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

    // Waits up to timeoutMs for the first byte of a next request (or the connection's end);
    // true when one is there, and the request's deadline starts.
    bool AwaitRequest(int timeoutMs) {
        if (begin_ == end_ && WaitFor(fd_, POLLIN, timeoutMs) <= 0)
            return false;
        deadline_ = Clock::now() + std::chrono::milliseconds(readTimeoutMs_);
        return true;
    }

    bool is_readable() const override { return begin_ < end_ || WaitReadable(); }
    bool is_writable() const override { return WaitFor(fd_, POLLOUT, writeTimeoutMs_) > 0; }

    ssize_t read(char *ptr, size_t size) override {
        if (begin_ == end_) {
            if (!WaitReadable())
                return -1;
            ssize_t got = recv(fd_, buffer_, sizeof buffer_, 0);
            if (got <= 0)
                return got;
            begin_ = 0;
            end_ = static_cast<size_t>(got);
        }
        size_t n = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override {
        if (!is_writable())
            return -1;
        return send(fd_, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override { Address(fd_, true, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { Address(fd_, false, ip, port); }
    socket_t socket() const override { return fd_; }
    // True once a read of the current request ran past its deadline: the library answers
    // what it has (400), and what is left of the request must not be read as the next one.
    bool Late() const { return late_; }

private:
    bool WaitReadable() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left > 0 && WaitFor(fd_, POLLIN, static_cast<int>(left)) > 0)
            return true;
        late_ = true;
        return false;
    }

    const int fd_, readTimeoutMs_, writeTimeoutMs_;
    Clock::time_point deadline_ = Clock::now();
    mutable bool late_ = false;
    char buffer_[4096];
    size_t begin_ = 0, end_ = 0;
};

}  // namespace

bool ConnectionTable::Admit(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return false;
    if (open_ >= bound_) {
        auto victim = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.Busy || it->second.Dropped ||
                (victim != entries_.end() && victim->second.IdleSince < it->second.IdleSince))
                continue;
            if (WaitFor(it->first, POLLIN, 0) != 0)  // a request (or the end) waits to be read
                continue;
            victim = it;
        }
        if (victim == entries_.end())
            return false;
        shutdown(victim->first, SHUT_RDWR);
        victim->second.Dropped = true;
        --open_;
    }
    Entry &entry = entries_[fd];
    entry = Entry();
    entry.IdleSince = ++order_;
    ++open_;
    return true;
}

void ConnectionTable::Busy(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(fd);
    if (it != entries_.end())
        it->second.Busy = true;
}

void ConnectionTable::Idle(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(fd);
    if (it != entries_.end()) {
        it->second.Busy = false;
        it->second.IdleSince = ++order_;
    }
}

void ConnectionTable::Remove(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(fd);
    if (it == entries_.end())
        return;
    if (!it->second.Dropped)
        --open_;
    entries_.erase(it);
}

void ConnectionTable::CloseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (auto &entry : entries_) {
        if (!entry.second.Dropped) {
            shutdown(entry.first, SHUT_RDWR);
            entry.second.Dropped = true;
            --open_;
        }
    }
}

size_t ConnectionTable::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

int PageServer::Bind(const std::string &host, int port) {
    const int bound = port == 0 ? bind_to_any_port(host) : (bind_to_port(host, port) ? port : -1);
    if (bound >= 0 && ::listen(svr_sock_, AcceptQueue) != 0)
        return -1;
    return bound;
}

void PageServer::Stop() {
    stop();
    connections_.CloseAll();
}

bool PageServer::process_and_close_socket(socket_t sock) {
    bool ok = false;
    if (connections_.Admit(sock)) {
        ConnectionStream stream(sock, TimeoutMs(read_timeout_sec_, read_timeout_usec_),
                                TimeoutMs(write_timeout_sec_, write_timeout_usec_));
        const int keepAliveMs = TimeoutMs(keep_alive_timeout_sec_, 0);
        // A send of more than the socket's buffer holds blocks until the peer reads; the send
        // timeout ends it with what was sent, so a client that stops reading lets go too.
        timeval sendTimeout = {};
        sendTimeout.tv_sec = write_timeout_sec_;
        sendTimeout.tv_usec = static_cast<suseconds_t>(write_timeout_usec_);
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        for (size_t left = keep_alive_max_count_; left > 0; --left) {
            if (svr_sock_ == INVALID_SOCKET || !stream.AwaitRequest(keepAliveMs))
                break;
            connections_.Busy(sock);
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed || stream.Late())
                break;
            connections_.Idle(sock);
        }
        connections_.Remove(sock);
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
}

}  // namespace monitor
