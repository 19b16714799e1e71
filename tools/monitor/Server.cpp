#include "tools/monitor/Server.h"

#include <algorithm>

#include "tools/monitor/Page.h"

namespace monitor {

namespace {

// The day a request asks for: today when it names none; false for anything but a valid date.
bool RequestedDay(const httplib::Request &request, station::Millis now, station::Millis &day) {
    if (!request.has_param("day")) {
        day = station::DayOf(now);
        return true;
    }
    return station::ParseDay(request.get_param_value("day"), day);
}

void Refuse(httplib::Response &response, int status, const char *text) {
    response.status = status;
    response.set_content(text, "text/plain; charset=utf-8");
}

}  // namespace

void InstallRoutes(httplib::Server &server, Station &station, int refreshSeconds) {
    server.set_pre_routing_handler([](const httplib::Request &request, httplib::Response &response) {
        if (request.method != "GET" && request.method != "HEAD") {
            Refuse(response, 405, "Only GET is answered.\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (request.path.find("..") != std::string::npos || request.target.find("..") != std::string::npos ||
            request.target.find("%2e%2e") != std::string::npos ||
            request.target.find("%2E%2E") != std::string::npos) {
            Refuse(response, 400, "Refused: the path holds \"..\".\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (response.status == 404)
            response.set_content("Not found. Paths: /, /health, /chart/<name>.svg, /log\n",
                                 "text/plain; charset=utf-8");
    });

    server.Get("/", [&station, refreshSeconds](const httplib::Request &request, httplib::Response &response) {
        station::Millis now = Now(), day;
        if (!RequestedDay(request, now, day))
            return Refuse(response, 400, "day must be YYYY-MM-DD\n");
        Health health = station.GetHealth(now);
        DayView view = station.GetDay(day);
        std::vector<TraceSample> trace = station.GetTrace();
        std::vector<LogLine> log = station.GetLogTail(now);
        response.set_content(
            PageHtml(health, view, trace, log, station.Days(), refreshSeconds, station.Directory()),
            "text/html; charset=utf-8");
    });
    server.Get("/health", [&station](const httplib::Request &, httplib::Response &response) {
        response.set_content(HealthJson(station.GetHealth(Now())), "application/json");
    });
    server.Get("/log", [&station](const httplib::Request &, httplib::Response &response) {
        response.set_content(LogText(station.GetLogTail(Now())), "text/plain; charset=utf-8");
    });
    server.Get(R"(/chart/([a-z-]+)\.svg)",
               [&station](const httplib::Request &request, httplib::Response &response) {
                   const std::string name = request.matches[1];
                   const auto &names = ChartNames();
                   if (std::find(names.begin(), names.end(), name) == names.end())
                       return Refuse(response, 404, "No such chart.\n");
                   station::Millis now = Now(), day;
                   if (!RequestedDay(request, now, day))
                       return Refuse(response, 400, "day must be YYYY-MM-DD\n");
                   DayView view;
                   view.Day = day;
                   std::vector<TraceSample> trace;
                   if (name.compare(0, 6, "trace-") == 0)
                       trace = station.GetTrace();
                   else
                       view = station.GetDay(day);
                   response.set_content(ChartSvg(name, view, trace), "image/svg+xml");
               });
}

}  // namespace monitor
