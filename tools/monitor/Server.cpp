#include "tools/monitor/Server.h"

#include <algorithm>

#include "tools/monitor/Page.h"

namespace monitor {

namespace {

const char TextType[] = "text/plain; charset=utf-8";

Answer Text(int status, const char *text) {
    return {status, TextType, text};
}

Answer NotFound() {
    return Text(404, "Not found. Paths: /, /health, /chart/<name>.svg, /log\n");
}

// The day a request asks for: today when it names none; false for anything but a valid date.
bool RequestedDay(const std::multimap<std::string, std::string> &params, Millis now, Millis &day) {
    auto it = params.lower_bound("day");  // the first one given, as the HTTP library reads it
    if (it == params.end() || it->first != "day") {
        day = station::DayOf(now);
        return true;
    }
    return station::ParseDay(it->second, day);
}

// The chart a path "/chart/<name>.svg" names, name of lower-case letters and dashes; "" when
// the path is not of that form.
std::string ChartOfPath(const std::string &path) {
    const std::string head = "/chart/", tail = ".svg";
    if (path.size() <= head.size() + tail.size() || path.compare(0, head.size(), head) != 0 ||
        path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
        return "";
    std::string name = path.substr(head.size(), path.size() - head.size() - tail.size());
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || c == '-'))
            return "";
    return name;
}

}  // namespace

Answer Respond(Station &station, int refreshSeconds, const std::string &method, const std::string &path,
               const std::string &target, const std::multimap<std::string, std::string> &params, Millis now) {
    if (method != "GET" && method != "HEAD")
        return Text(405, "Only GET is answered.\n");
    if (path.find("..") != std::string::npos || target.find("..") != std::string::npos ||
        target.find("%2e%2e") != std::string::npos || target.find("%2E%2E") != std::string::npos)
        return Text(400, "Refused: the path holds \"..\".\n");

    if (path == "/") {
        Millis day;
        if (!RequestedDay(params, now, day))
            return Text(400, "day must be YYYY-MM-DD\n");
        Health health = station.GetHealth(now);
        DayView view = station.GetDay(day, now);
        std::vector<TraceSample> trace = station.GetTrace();
        std::vector<LogLine> log = station.GetLogTail(now);
        return {200, "text/html; charset=utf-8",
                PageHtml(health, view, trace, log, station.Days(), refreshSeconds, station.Directory())};
    }
    if (path == "/health")
        return {200, "application/json", HealthJson(station.GetHealth(now))};
    if (path == "/log")
        return {200, TextType, LogText(station.GetLogTail(now))};

    const std::string name = ChartOfPath(path);
    const auto &names = ChartNames();
    if (name.empty() || std::find(names.begin(), names.end(), name) == names.end())
        return NotFound();
    Millis day;
    if (!RequestedDay(params, now, day))
        return Text(400, "day must be YYYY-MM-DD\n");
    DayView view;
    view.Day = day;
    std::vector<TraceSample> trace;
    if (name.compare(0, 6, "trace-") == 0)
        trace = station.GetTrace();
    else
        view = station.GetDay(day, now);
    return {200, "image/svg+xml", ChartSvg(name, view, trace)};
}

void ConfigureServer(httplib::Server &server) {
    // Each open connection holds a worker while it is read, so there are far more workers than
    // a handful of clients, and a connection that sends nothing, or half a request, lets its
    // worker go after a few seconds: idle or slow clients cannot keep the page from answering.
    server.new_task_queue = [] { return new httplib::ThreadPool(Workers); };
    server.set_read_timeout(ReadTimeoutSeconds, 0);
    server.set_write_timeout(ReadTimeoutSeconds, 0);
    server.set_keep_alive_timeout(ReadTimeoutSeconds);
    server.set_keep_alive_max_count(KeepAliveRequests);
}

void SendAnswer(const Answer &answer, httplib::Response &response) {
    if (answer.Status != 200)
        response.status = answer.Status;
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_content(answer.Body, answer.ContentType);
}

void InstallRoutes(httplib::Server &server, Station &station, int refreshSeconds) {
    // Every request the library has parsed is answered here; the library's own routing is
    // not used.
    server.set_pre_routing_handler(
        [&station, refreshSeconds](const httplib::Request &request, httplib::Response &response) {
            Answer answer = Respond(station, refreshSeconds, request.method, request.path, request.target,
                                    request.params, Now());
            SendAnswer(answer, response);
            return httplib::Server::HandlerResponse::Handled;
        });
}

}  // namespace monitor
