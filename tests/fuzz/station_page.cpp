// The station page's request handling (kestrune-monitor) with arbitrary methods, paths,
// queries and header lines.
//
// The input's first byte picks the method; the rest up to the first line feed is the request
// target as sent (path and query, encoded), further lines are extra header lines. The data
// directory holds a short day of the program's files; beside it and at the root lie "secret"
// files whose lines would parse as data and carry a marker, and the data directory holds links
// to them and to its parent under names that are not data files (tools/MonitorFixture.h).
//
// Each request is answered twice: by monitor::Respond() directly, with the path and query
// decoded as the HTTP library decodes them, and by the HTTP library's own request processing
// (parsing, routing into the monitor, writing the response) over an in-memory stream.
// Invariants:
// - every file or directory opened while answering lies inside the data directory once
//   canonicalised (links resolved);
// - no answer carries the marker of the secret files;
// - a direct answer has one of the statuses the monitor uses (200, 400, 404, 405) and a
//   content type of its own; 200 only to GET or HEAD of a documented path, with a body of
//   that path's kind;
// - the HTTP response is well formed: an optional "100 Continue", then one status line with a
//   status the server uses (200, 206, 400, 404, 405, 414, 416; never 500, which would mean an
//   exception), header lines, a blank line and a body of exactly Content-Length bytes (none
//   to HEAD), and nothing after it.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "tools/MonitorFixture.h"
#include "tools/monitor/Page.h"
#include "tools/monitor/Server.h"

namespace fs = std::filesystem;

// ---- Every open while answering is recorded ----------------------------------------------
// The process's own definitions of the C library's open calls take precedence over the C
// library's (and the sanitizers' weak ones) for our code and the C++ library alike.

namespace {

bool recording = false;
std::vector<std::string> &Opened() {
    static std::vector<std::string> opened;
    return opened;
}

template <typename F>
F Next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The absolute form of a path given relative to a directory descriptor.
std::string AtPath(int dirfd, const char *path) {
    if (path[0] == '/' || dirfd == AT_FDCWD)
        return path;
    char link[64], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    return std::string(target, n > 0 ? static_cast<size_t>(n) : 0) + "/" + path;
}

void Record(int dirfd, const char *path) {
    if (recording && path)
        Opened().push_back(AtPath(dirfd, path));
}

}  // namespace

extern "C" {

FILE *fopen(const char *path, const char *mode) {
    static auto real = Next<FILE *(*)(const char *, const char *)>("fopen");
    Record(AT_FDCWD, path);
    return real(path, mode);
}

FILE *fopen64(const char *path, const char *mode) {
    static auto real = Next<FILE *(*)(const char *, const char *)>("fopen64");
    Record(AT_FDCWD, path);
    return real(path, mode);
}

int open(const char *path, int flags, ...) {
    static auto real = Next<int (*)(const char *, int, ...)>("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    Record(AT_FDCWD, path);
    return real(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    static auto real = Next<int (*)(const char *, int, ...)>("open64");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    Record(AT_FDCWD, path);
    return real(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    static auto real = Next<int (*)(int, const char *, int, ...)>("openat");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    Record(dirfd, path);
    return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    static auto real = Next<int (*)(int, const char *, int, ...)>("openat64");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    Record(dirfd, path);
    return real(dirfd, path, flags, mode);
}

DIR *opendir(const char *path) {
    static auto real = Next<DIR *(*)(const char *)>("opendir");
    Record(AT_FDCWD, path);
    return real(path);
}

}  // extern "C"

// ---- The data directory and the secrets ----------------------------------------------------

namespace {

using monitorfixture::Marker;

struct Harness {
    FuzzRoot root;
    fs::path data, dataCanonical;
    monitor::Station *station = nullptr;
    const station::Millis now = monitorfixture::Now();

    Harness() {
        data = station::DefaultDataDirectory();
        monitorfixture::WriteShortDay(data, root.Path());
        dataCanonical = fs::canonical(data);
        station = new monitor::Station(data.string());
    }

    // Every recorded open since the last call lies inside the data directory.
    void CheckOpened(const std::string &request) {
        for (const auto &path : Opened()) {
            std::error_code error;
            fs::path canonical = fs::weakly_canonical(fs::absolute(path), error);
            FUZZ_CHECK(!error, "cannot resolve %s (request %s)", path.c_str(), request.c_str());
            std::string c = canonical.string(), d = dataCanonical.string();
            FUZZ_CHECK(c == d || c.compare(0, d.size() + 1, d + "/") == 0,
                       "opened %s (%s), outside the data directory %s; request %s", path.c_str(), c.c_str(),
                       d.c_str(), request.c_str());
        }
        Opened().clear();
    }
};

Harness &TheHarness() {
    static Harness *harness = new Harness();
    return *harness;
}

// The HTTP library's request processing over one in-memory exchange.
class MemoryStream : public httplib::Stream {
public:
    explicit MemoryStream(const std::string &in) : in_(in) {}
    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char *ptr, size_t size) override {
        size_t n = std::min(size, in_.size() - at_);
        std::memcpy(ptr, in_.data() + at_, n);
        at_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char *ptr, size_t size) override {
        out_.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        ip = "127.0.0.1";
        port = 50000;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        ip = "127.0.0.1";
        port = 8160;
    }
    socket_t socket() const override { return INVALID_SOCKET; }
    const std::string &Out() const { return out_; }

private:
    std::string in_, out_;
    size_t at_ = 0;
};

class MemoryServer : public httplib::Server {
public:
    std::string Exchange(const std::string &request) {
        MemoryStream stream(request);
        bool closed = false;
        process_request(stream, true, closed, [](httplib::Request &) {});
        return stream.Out();
    }
};

MemoryServer &TheServer() {
    static MemoryServer *server = [] {
        auto *s = new MemoryServer();
        monitor::InstallRoutes(*s, *TheHarness().station, 5);
        return s;
    }();
    return *server;
}

bool EndsWith(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text.substr(0, 300)) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

void CheckDirect(Harness &h, const std::string &method, const std::string &target) {
    const size_t query = target.find('?');
    const std::string path = httplib::detail::decode_url(target.substr(0, query), false);
    httplib::Params params;
    if (query != std::string::npos)
        httplib::detail::parse_query_text(target.substr(query + 1), params);
    const std::string shown = method + " " + Printable(target);

    recording = true;
    monitor::Answer answer = monitor::Respond(*h.station, 5, method, path, target, params, h.now);
    recording = false;
    h.CheckOpened(shown);

    FUZZ_CHECK(answer.Body.find(Marker) == std::string::npos, "a secret in the answer to %s", shown.c_str());
    FUZZ_CHECK(answer.Status == 200 || answer.Status == 400 || answer.Status == 404 || answer.Status == 405,
               "status %d to %s", answer.Status, shown.c_str());
    FUZZ_CHECK(answer.ContentType == "text/html; charset=utf-8" || answer.ContentType == "application/json" ||
                   answer.ContentType == "image/svg+xml" || answer.ContentType == "text/plain; charset=utf-8",
               "content type %s to %s", answer.ContentType.c_str(), shown.c_str());
    if (answer.Status != 200) {
        FUZZ_CHECK(answer.ContentType == "text/plain; charset=utf-8" && !answer.Body.empty(),
                   "refusal without a text to %s", shown.c_str());
        return;
    }
    FUZZ_CHECK(method == "GET" || method == "HEAD", "200 to %s", shown.c_str());
    bool chart = false;
    for (const auto &name : monitor::ChartNames())
        chart = chart || path == "/chart/" + name + ".svg";
    if (path == "/") {
        FUZZ_CHECK(answer.Body.compare(0, 15, "<!DOCTYPE html>") == 0 && EndsWith(answer.Body, "</html>\n"),
                   "page to %s is not a whole page", shown.c_str());
    } else if (path == "/health") {
        FUZZ_CHECK(answer.Body.front() == '{' && EndsWith(answer.Body, "}\n"), "health to %s: %s",
                   shown.c_str(), answer.Body.c_str());
    } else if (chart) {
        FUZZ_CHECK(answer.Body.compare(0, 4, "<svg") == 0 && EndsWith(answer.Body, "</svg>"),
                   "chart to %s is not a whole SVG", shown.c_str());
    } else {
        FUZZ_CHECK(path == "/log", "200 to %s, a path that is not the monitor's", shown.c_str());
    }
}

void CheckHttp(Harness &h, const std::string &method, const std::string &target, const std::string &headers) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: fuzz\r\n";
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos)
            end = headers.size();
        request += headers.substr(start, end - start) + "\r\n";
        start = end + 1;
    }
    request += "\r\n";
    const std::string shown = Printable(request);

    recording = true;
    std::string out = TheServer().Exchange(request);
    recording = false;
    h.CheckOpened(shown);

    FUZZ_CHECK(out.find(Marker) == std::string::npos, "a secret in the response to %s", shown.c_str());
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    size_t at = out.compare(0, interim.size(), interim) == 0 ? interim.size() : 0;
    FUZZ_CHECK(out.size() >= at + 13 && out.compare(at, 9, "HTTP/1.1 ") == 0, "no status line to %s: %s",
               shown.c_str(), Printable(out).c_str());
    const int status = std::atoi(out.substr(at + 9, 3).c_str());
    FUZZ_CHECK(status == 200 || status == 206 || status == 400 || status == 404 || status == 405 ||
                   status == 414 || status == 416,
               "status %d to %s", status, shown.c_str());
    const size_t headEnd = out.find("\r\n\r\n", at);
    FUZZ_CHECK(headEnd != std::string::npos, "the response to %s has no end of its head", shown.c_str());
    long length = -1;
    size_t line = out.find("\r\n", at) + 2;
    while (line < headEnd + 2) {
        size_t next = out.find("\r\n", line);
        const std::string field = out.substr(line, next - line);
        const size_t colon = field.find(": ");
        FUZZ_CHECK(colon != std::string::npos && colon > 0, "header line \"%s\" to %s",
                   Printable(field).c_str(), shown.c_str());
        for (unsigned char c : field)
            FUZZ_CHECK(c >= 0x20 && c != 0x7f, "a control byte in header line \"%s\" to %s",
                       Printable(field).c_str(), shown.c_str());
        if (field.compare(0, colon, "Content-Length") == 0)
            length = std::atol(field.c_str() + colon + 2);
        line = next + 2;
    }
    const size_t body = out.size() - (headEnd + 4);
    // The server takes the first word of the request line as the method, after any leading
    // blanks (an empty method followed by a target "HEAD /x" is a HEAD request to it).
    const size_t word = request.find_first_not_of(' ');
    const std::string parsedMethod = request.substr(word, request.find(' ', word) - word);
    if (parsedMethod == "HEAD")
        FUZZ_CHECK(body == 0, "%zu bytes of body to %s", body, shown.c_str());
    else
        FUZZ_CHECK(length >= 0 ? body == static_cast<size_t>(length) : body == 0,
                   "Content-Length %ld, %zu bytes of body to %s", length, body, shown.c_str());
}

const char *const Methods[] = {"GET",     "HEAD",  "POST", "PUT", "DELETE", "OPTIONS", "PATCH",
                               "CONNECT", "TRACE", "PRI",  "get", "BREW",   ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    Harness &h = TheHarness();
    const std::string method = Methods[data[0] % (sizeof Methods / sizeof Methods[0])];
    const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    const size_t newline = rest.find('\n');
    const std::string target = rest.substr(0, newline);
    const std::string headers = newline == std::string::npos ? "" : rest.substr(newline + 1);
    CheckDirect(h, method, target);
    CheckHttp(h, method, target, headers);
    return 0;
}
