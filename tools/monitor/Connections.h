// The page server's connections: a fixed bound on how many are open, the one idle longest
// dropped first when a new one comes at the bound, and a whole request bounded by the read
// timeout however slowly its bytes trickle in.
//
// The HTTP library accepts connections in its own loop and hands each accepted socket to a
// worker through Server::process_and_close_socket(), which PageServer takes over: it admits
// the socket into the ConnectionTable, then runs the connection's keep-alive loop itself and
// lets the library parse, route and answer each request (Server::process_request()) over a
// stream of its own. Parsing and answering stay the library's; only the socket handling is
// ours. That function is a private virtual of the library's server, overridden the same way by
// its own TLS server; `override` turns a library that changes it into a build error rather
// than a bound that is silently gone. POSIX sockets: the monitor is built on Linux only.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace monitor {

// Connections open at once; the server's workers are more than this, so a new connection
// always finds a worker to admit it (or drop it) at once.
constexpr size_t MaxConnections = 64;
// Connections the kernel queues before the server's loop accepts them.
constexpr int AcceptQueue = 128;

// The open connections by socket, each idle (waiting for its next request) or busy (a request
// in progress: being read, answered or written).
class ConnectionTable {
public:
    explicit ConnectionTable(size_t bound) : bound_(bound) {}

    // Takes a new connection in, idle. At the bound, the connection idle longest is shut down
    // first (its worker sees the end and lets it go); one with unread bytes waiting is about to
    // be busy and is passed over. False when every open one is busy, or the table is closed:
    // the caller closes the new socket without an answer.
    bool Admit(int fd);
    // A request has begun on fd; its answer is out and fd waits for the next one.
    void Busy(int fd);
    void Idle(int fd);
    // fd leaves the table; the caller closes it afterwards, never before, so a socket number
    // in the table is always still this connection's.
    void Remove(int fd);
    // Shuts down every open connection and refuses any later one (the server stops).
    void CloseAll();
    // Open connections, not counting those already shut down.
    size_t Open();

private:
    struct Entry {
        bool Busy = false;
        bool Dropped = false;    // shut down by Admit(), its worker not yet gone
        uint64_t IdleSince = 0;  // order of becoming idle: lower is idle longer
    };
    std::mutex mutex_;
    const size_t bound_;
    bool closed_ = false;
    uint64_t order_ = 0;
    size_t open_ = 0;
    std::map<int, Entry> entries_;
};

// The HTTP library's server with its connections held in a ConnectionTable. Timeouts and the
// keep-alive count are the library's settings (see ConfigureServer()): the keep-alive timeout
// bounds the wait for a next request, the read timeout a whole request from its first byte,
// the write timeout each write of the answer.
class PageServer : public httplib::Server {
public:
    explicit PageServer(size_t maxConnections = MaxConnections) : connections_(maxConnections) {}
    // Binds to host and port (0: any free port) and returns the port, or -1. The queue of
    // connections not yet accepted is longer than the library's 5, so a burst of new ones is
    // not left waiting for the client's retry of its connection request (a second or more).
    int Bind(const std::string &host, int port);
    // Stops accepting and closes every open connection, so listen_after_bind() returns soon.
    void Stop();
    // Open connections (see ConnectionTable::Open()).
    size_t OpenConnections() { return connections_.Open(); }

private:
    bool process_and_close_socket(socket_t sock) override;
    ConnectionTable connections_;
};

}  // namespace monitor
