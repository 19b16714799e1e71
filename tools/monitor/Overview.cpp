#include "tools/monitor/Overview.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace monitor {

namespace {

std::string Escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
        }
    }
    return out;
}

std::string JsonText(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// "2026-12-09T14:30:00Z" or with ".mmm" -> milliseconds; 0 when it is not such a time.
Millis ParseTime(const std::string &text) {
    int year, month, day, hour, minute, second, consumed = 0;
    if (text.size() < 20 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                    &consumed) != 6 ||
        consumed != 19)
        return 0;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return 0;
    int millisecond = 0;
    if (text.size() == 24 && text[19] == '.')
        millisecond = std::atoi(text.substr(20, 3).c_str());
    return station::MillisFromCivil(year, month, day, hour, minute, second, millisecond);
}

// A figure for the table: numbers only (anything else shows as a dash).
std::string Figure(const std::string &text) {
    if (text.empty() || text.size() > 32)
        return "";
    char *end = nullptr;
    std::strtod(text.c_str(), &end);
    return end && *end == '\0' && end != text.c_str() ? text : "";
}

bool IsPageUrl(const std::string &url) {
    if (url.size() > 300 || (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0))
        return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c >= 0x7f || c == '"' || c == '\'' || c == '<' || c == '>' || c == '\\' || c == '`')
            return false;
    return true;
}

std::string Age(Millis now, Millis then) {
    if (then <= 0)
        return "&ndash;";
    long long seconds = (now - then) / 1000;
    char text[48];
    if (seconds < 0)
        snprintf(text, sizeof text, "in %lld s", -seconds);
    else if (seconds < 120)
        snprintf(text, sizeof text, "%lld s", seconds);
    else if (seconds < 7200)
        snprintf(text, sizeof text, "%lld min", seconds / 60);
    else
        snprintf(text, sizeof text, "%lld h", seconds / 3600);
    return text;
}

std::string State(const OverviewRow &row, Millis now) {
    if (!row.HaveHealth)
        return "unknown";
    if (!row.Online)
        return "offline";
    return now - row.HealthTime > Overview::SilentMs ? "silent" : "online";
}

const char TextType[] = "text/plain; charset=utf-8";

}  // namespace

bool JsonMember(const std::string &json, const std::string &name, std::string &value) {
    const std::string key = "\"" + name + "\"";
    for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        size_t i = at + key.size();
        while (i < json.size() && (json[i] == ' ' || json[i] == '\t'))
            ++i;
        if (i >= json.size() || json[i] != ':')
            continue;
        ++i;
        while (i < json.size() && (json[i] == ' ' || json[i] == '\t'))
            ++i;
        value.clear();
        if (i < json.size() && json[i] == '"') {
            for (++i; i < json.size() && json[i] != '"'; ++i) {
                if (json[i] != '\\') {
                    value += json[i];
                    continue;
                }
                if (++i >= json.size())
                    return false;
                char e = json[i];
                if (e == 'u') {
                    value += '?';  // shown only, never interpreted
                    i += 4;
                } else {
                    value += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            }
            return i < json.size();
        }
        size_t end = json.find_first_of(",}] \t\r\n", i);
        value = json.substr(i, end == std::string::npos ? std::string::npos : end - i);
        return !value.empty() && value[0] != '{' && value[0] != '[';
    }
    return false;
}

void Overview::OnMessage(const std::string &topic, const std::string &payload) {
    // kestrune/<station>/<instrument>/<leaf>
    if (topic.compare(0, 9, "kestrune/") != 0 || payload.size() > MaxPayload)
        return;
    size_t a = topic.find('/', 9), b = a == std::string::npos ? a : topic.find('/', a + 1);
    if (b == std::string::npos || topic.find('/', b + 1) != std::string::npos)
        return;
    std::string stationName = topic.substr(9, a - 9), instrument = topic.substr(a + 1, b - a - 1),
                leaf = topic.substr(b + 1);
    if (stationName.empty() || instrument.empty() || stationName.size() > 100 || instrument.size() > 100)
        return;
    if (leaf != "health" && leaf != "stats" && leaf != "flux" && leaf != "events")
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    auto key = std::make_pair(stationName, instrument);
    auto it = rows_.find(key);
    if (it == rows_.end()) {
        if (rows_.size() >= MaxRows)
            return;
        it = rows_.emplace(key, OverviewRow()).first;
        it->second.Station = stationName;
        it->second.Instrument = instrument;
    }
    OverviewRow &row = it->second;
    std::string value;
    if (leaf == "health") {
        row.HaveHealth = true;
        row.Online = JsonMember(payload, "state", value) && value == "online";
        if (!row.Online)
            return;
        row.HealthTime = JsonMember(payload, "time", value) ? ParseTime(value) : 0;
        row.Healthy = JsonMember(payload, "healthy", value) && value == "true";
        row.Reason = JsonMember(payload, "reason", value) && value != "null" ? value.substr(0, 200) : "";
        row.LostLines = JsonMember(payload, "lostLines", value) ? std::atol(value.c_str()) : -1;
        row.ErrorsToday = JsonMember(payload, "errorsToday", value) ? std::atol(value.c_str()) : -1;
        row.Page = JsonMember(payload, "page", value) && IsPageUrl(value) ? value : "";
    } else if (leaf == "stats") {
        if (JsonMember(payload, "end", value))
            row.LastPeriodEnd = ParseTime(value);
    } else if (leaf == "flux") {
        row.FluxEnd = JsonMember(payload, "end", value) ? ParseTime(value) : 0;
        row.Ustar = JsonMember(payload, "ustar", value) ? Figure(value) : "";
        row.H = JsonMember(payload, "H", value) ? Figure(value) : "";
        row.FlagTau = JsonMember(payload, "flag_tau", value) ? Figure(value) : "";
        row.FlagH = JsonMember(payload, "flag_H", value) ? Figure(value) : "";
    }
}

std::vector<OverviewRow> Overview::Rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<OverviewRow> rows;
    for (const auto &entry : rows_)
        rows.push_back(entry.second);
    return rows;
}

std::string OverviewHtml(const std::vector<OverviewRow> &rows, Millis now, int refreshSeconds) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" "
        "content=\"" +
        std::to_string(refreshSeconds) +
        "\"><title>kestrune overview</title><style>body{font-family:sans-serif;margin:1em}"
        "table{border-collapse:collapse}td,th{border:1px solid #bbb;padding:.2em .6em;text-align:left}"
        ".online{background:#d8f5d8}.offline{background:#f5d0d0}.silent,.unknown{background:#f5ecc8}"
        "</style></head><body><h1>kestrune overview</h1>\n<p>" +
        std::to_string(rows.size()) + " station instrument(s), as of " + Escape(station::IsoTime(now)) +
        "</p>\n<table id=\"overview\"><tr><th>Station</th><th>Instrument</th><th>State</th><th>Healthy</th>"
        "<th>Last period</th><th>Lost lines today</th><th>Errors today</th><th>u* (m/s)</th><th>flag</th>"
        "<th>H (W/m&sup2;)</th><th>flag</th></tr>\n";
    for (const auto &row : rows) {
        const std::string state = State(row, now);
        std::string name = Escape(row.Station);
        if (!row.Page.empty())
            name = "<a href=\"" + Escape(row.Page) + "\">" + name + "</a>";
        auto cell = [](const std::string &text) {
            return "<td>" + (text.empty() ? "&ndash;" : Escape(text)) + "</td>";
        };
        html += "<tr class=\"" + state + "\" data-station=\"" + Escape(row.Station) +
                "\" data-instrument=\"" + Escape(row.Instrument) + "\"><td>" + name + "</td>" +
                cell(row.Instrument) + "<td class=\"state\">" + state + "</td>" +
                cell(!row.HaveHealth || !row.Online ? ""
                     : row.Healthy                  ? "yes"
                                                    : "no: " + row.Reason) +
                "<td>" + Age(now, row.LastPeriodEnd) + "</td>" +
                cell(row.LostLines < 0 ? "" : std::to_string(row.LostLines)) +
                cell(row.ErrorsToday < 0 ? "" : std::to_string(row.ErrorsToday)) + cell(row.Ustar) +
                cell(row.FlagTau) + cell(row.H) + cell(row.FlagH) + "</tr>\n";
    }
    return html + "</table></body></html>\n";
}

std::string OverviewJson(const std::vector<OverviewRow> &rows, Millis now) {
    std::string json = "{\"time\":" + JsonText(station::IsoTime(now)) + ",\"rows\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
        const OverviewRow &row = rows[i];
        json += std::string(i ? "," : "") + "{\"station\":" + JsonText(row.Station) +
                ",\"instrument\":" + JsonText(row.Instrument) + ",\"state\":" + JsonText(State(row, now)) +
                ",\"lastPeriodEnd\":" +
                (row.LastPeriodEnd > 0 ? JsonText(station::IsoTime(row.LastPeriodEnd)) : "null") +
                ",\"lostLines\":" + (row.LostLines < 0 ? "null" : std::to_string(row.LostLines)) +
                ",\"errorsToday\":" + (row.ErrorsToday < 0 ? "null" : std::to_string(row.ErrorsToday)) +
                ",\"ustar\":" + (row.Ustar.empty() ? "null" : row.Ustar) +
                ",\"H\":" + (row.H.empty() ? "null" : row.H) + "}";
    }
    return json + "]}\n";
}

Answer RespondOverview(const Overview &overview, int refreshSeconds, const std::string &method,
                       const std::string &path, const std::string &target, Millis now) {
    if (method != "GET" && method != "HEAD")
        return {405, TextType, "Only GET is answered.\n"};
    if (path.find("..") != std::string::npos || target.find("..") != std::string::npos ||
        target.find("%2e%2e") != std::string::npos || target.find("%2E%2E") != std::string::npos)
        return {400, TextType, "Refused: the path holds \"..\".\n"};
    if (path == "/")
        return {200, "text/html; charset=utf-8", OverviewHtml(overview.Rows(), now, refreshSeconds)};
    if (path == "/overview.json")
        return {200, "application/json", OverviewJson(overview.Rows(), now)};
    return {404, TextType, "Not found. Paths: /, /overview.json\n"};
}

void InstallOverviewRoutes(httplib::Server &server, Overview &overview, int refreshSeconds) {
    server.set_pre_routing_handler([&overview, refreshSeconds](const httplib::Request &request,
                                                               httplib::Response &response) {
        Answer answer =
            RespondOverview(overview, refreshSeconds, request.method, request.path, request.target, Now());
        if (answer.Status != 200)
            response.status = answer.Status;
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
        response.set_content(answer.Body, answer.ContentType);
        return httplib::Server::HandlerResponse::Handled;
    });
}

OverviewFeed::~OverviewFeed() {
    if (!mosq_)
        return;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
}

bool OverviewFeed::Start(const std::string &broker, const std::string &username,
                         const std::string &password) {
    std::string host = broker;
    int port = 1883;
    size_t colon = broker.rfind(':');
    if (colon != std::string::npos && broker.find(':') == colon) {
        host = broker.substr(0, colon);
        port = std::atoi(broker.c_str() + colon + 1);
    } else if (!broker.empty() && broker.front() == '[') {
        size_t close = broker.find(']');
        if (close == std::string::npos)
            return false;
        host = broker.substr(1, close - 1);
        if (close + 1 < broker.size()) {
            if (broker[close + 1] != ':')
                return false;
            port = std::atoi(broker.c_str() + close + 2);
        }
    }
    if (host.empty() || port < 1 || port > 65535)
        return false;
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, &overview_);
    if (!mosq_)
        return false;
    mosquitto_connect_callback_set(mosq_, [](struct mosquitto *m, void *, int rc) {
        if (rc == 0)
            mosquitto_subscribe(m, nullptr, "kestrune/#", 1);
    });
    mosquitto_message_callback_set(
        mosq_, [](struct mosquitto *, void *data, const struct mosquitto_message *message) {
            if (message->topic && message->payloadlen >= 0)
                static_cast<Overview *>(data)->OnMessage(
                    message->topic, std::string(static_cast<const char *>(message->payload),
                                                static_cast<size_t>(message->payloadlen)));
        });
    if (!username.empty() &&
        mosquitto_username_pw_set(mosq_, username.c_str(), password.empty() ? nullptr : password.c_str()) !=
            MOSQ_ERR_SUCCESS)
        return false;
    mosquitto_reconnect_delay_set(mosq_, 1, 60, true);
    // A broker that is not there yet is tried again by the loop thread.
    int rc = mosquitto_connect_async(mosq_, host.c_str(), port, 30);
    if (rc != MOSQ_ERR_SUCCESS)
        std::fprintf(stderr, "kestrune-monitor: broker %s:%d: %s; retrying\n", host.c_str(), port,
                     mosquitto_strerror(rc));
    return mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
}

}  // namespace monitor
