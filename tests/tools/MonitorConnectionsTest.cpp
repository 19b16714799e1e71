// The page server's bound on open connections. The table on its own over socket pairs: at the
// bound the connection idle longest is shut down, one with a request waiting is passed over,
// a new one is refused while every one is busy. Then the server on a loopback port: with every
// connection busy a new one is closed unanswered, and a request that trickles in a byte at a
// time is ended by the read timeout.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <string>
#include <thread>

#include "tools/monitor/Connections.h"
#include "tools/monitor/Server.h"

namespace {

// A connected pair: Server() goes into the table, Peer() is the client's end.
struct Pair {
    int fds[2] = {-1, -1};
    Pair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
    ~Pair() {
        close(fds[0]);
        close(fds[1]);
    }
    int Server() const { return fds[0]; }
    int Peer() const { return fds[1]; }
    // True when the table's side was shut down: the peer reads the end at once.
    bool Ended() const {
        pollfd entry = {Peer(), POLLIN, 0};
        char byte;
        return poll(&entry, 1, 0) == 1 && recv(Peer(), &byte, 1, MSG_DONTWAIT) == 0;
    }
};

TEST(MonitorConnections, TheTableDropsTheOneIdleLongestAndRefusesWhenAllAreBusy) {
    monitor::ConnectionTable table(3);
    Pair a, b, c, d, e, f;
    ASSERT_TRUE(table.Admit(a.Server()) && table.Admit(b.Server()) && table.Admit(c.Server()));
    table.Busy(a.Server());
    table.Idle(a.Server());  // a answered a request: now idle for less time than b
    table.Busy(c.Server());
    ASSERT_TRUE(table.Admit(d.Server()));
    EXPECT_TRUE(b.Ended());
    EXPECT_FALSE(a.Ended() || c.Ended() || d.Ended());
    EXPECT_EQ(table.Open(), 3u);

    // a's next request is waiting unread: a is passed over for d, idle for less time.
    ASSERT_EQ(send(a.Peer(), "G", 1, 0), 1);
    ASSERT_TRUE(table.Admit(e.Server()));
    EXPECT_TRUE(d.Ended());
    EXPECT_FALSE(c.Ended() || e.Ended());

    table.Busy(a.Server());
    table.Busy(e.Server());
    EXPECT_FALSE(table.Admit(f.Server()));  // a, c and e busy
    table.Remove(c.Server());
    EXPECT_TRUE(table.Admit(f.Server()));

    table.CloseAll();
    EXPECT_TRUE(a.Ended() && e.Ended() && f.Ended());
    EXPECT_EQ(table.Open(), 0u);
    EXPECT_FALSE(table.Admit(c.Server()));
}

// A loopback connection to port, with a receive timeout as a failsafe against a server that
// never answers.
int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval failsafe = {60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &failsafe, sizeof failsafe);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes the connection ("" at once for a refusal);
// "timeout" when it keeps it open past the failsafe.
std::string UntilClosed(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return text;
        if (got < 0)
            return "timeout";
        text.append(buffer, static_cast<size_t>(got));
    }
}

void Send(int fd, const std::string &text) {
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

TEST(MonitorConnections, AServerAtItsBoundRefusesWhileAllAreBusyAndEndsATrickledRequest) {
    monitor::PageServer server(2);
    monitor::ConfigureServer(server);
    server.set_keep_alive_timeout(600);  // longer than the failsafe: only the server ends them
    server.set_read_timeout(1, 0);
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    bool release = false;
    server.Get("/hold", [&](const httplib::Request &, httplib::Response &response) {
        std::unique_lock<std::mutex> lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        response.set_content("held", "text/plain");
    });
    server.Get("/ok", [](const httplib::Request &, httplib::Response &response) {
        response.set_content("ok", "text/plain");
    });
    const int port = server.Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    auto unblock = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
    };
    std::thread loop([&] { server.listen_after_bind(); });
    struct Stopper {
        monitor::PageServer &server;
        std::thread &loop;
        std::function<void()> unblock;
        ~Stopper() {
            unblock();
            while (!server.is_running())
                std::this_thread::yield();  // stop() ends only a loop that has begun
            server.Stop();
            loop.join();
        }
    } stopper{server, loop, unblock};

    const std::string closing = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    int held[2];
    for (int &fd : held) {
        fd = Connect(port);
        ASSERT_GE(fd, 0);
        Send(fd, "GET /hold" + closing);
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return entered == 2; }));
    }
    const int refused = Connect(port);
    ASSERT_GE(refused, 0);
    EXPECT_EQ(UntilClosed(refused), "");
    close(refused);
    unblock();
    for (int fd : held) {
        EXPECT_NE(UntilClosed(fd).find("\r\n\r\nheld"), std::string::npos);
        close(fd);
    }
    // Both answered and closed, so their places are free again.
    const int answered = Connect(port);
    ASSERT_GE(answered, 0);
    Send(answered, "GET /ok" + closing);
    EXPECT_EQ(UntilClosed(answered).compare(0, 15, "HTTP/1.1 200 OK"), 0);
    close(answered);

    // A header line that grows by a byte whenever 200 ms pass without an answer would hold a
    // worker for ever under a timeout of each read; the request's own deadline ends it (the
    // loop gives up after 600 bytes, two minutes).
    const int trickle = Connect(port);
    ASSERT_GE(trickle, 0);
    Send(trickle, "GET /ok HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    int sent = 0;
    pollfd entry = {trickle, POLLIN, 0};
    while (sent < 600 && poll(&entry, 1, 200) == 0) {
        send(trickle, "a", 1, MSG_NOSIGNAL);
        ++sent;
    }
    EXPECT_LT(sent, 600);
    const std::string answer = UntilClosed(trickle);
    EXPECT_EQ(answer.find("200 OK"), std::string::npos) << answer;
    EXPECT_NE(answer, "timeout");
    close(trickle);
}

}  // namespace
