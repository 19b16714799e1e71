#include "tools/monitor/Sections.h"

#include "tools/monitor/Page.h"

namespace monitor {

namespace {

std::string Escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

std::string JsonText(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// What lies between a station page's <body> and </body>.
std::string Body(const std::string &page) {
    const size_t open = page.find("<body>");
    const size_t close = page.rfind("</body>");
    if (open == std::string::npos || close == std::string::npos || close < open)
        return page;
    return page.substr(open + 6, close - open - 6);
}

}  // namespace

Answer RespondSections(std::vector<Section> &sections, int refreshSeconds, const std::string &method,
                       const std::string &path, const std::string &target,
                       const std::multimap<std::string, std::string> &params, Millis now) {
    if (sections.size() == 1 || (method != "GET" && method != "HEAD"))
        return Respond(*sections.front().Data, refreshSeconds, method, path, target, params, now);
    if (path == "/") {
        // Each station's page, checked and answered as on its own; the first page's head
        // (style, refresh) serves all of them.
        std::string head, body;
        for (size_t i = 0; i < sections.size(); ++i) {
            Answer answer = Respond(*sections[i].Data, refreshSeconds, method, path, target, params, now);
            if (answer.Status != 200)
                return answer;
            if (i == 0)
                head = answer.Body.substr(0, answer.Body.find("<body>") + 6);
            body += "<article class=\"station\" id=\"station-" + std::to_string(i + 1) +
                    "\" data-directory=\"" + Escape(sections[i].Data->Directory()) + "\"><h1>" +
                    Escape(sections[i].Name) + "</h1>\n" + Body(answer.Body) + "</article>\n";
        }
        return {200, "text/html; charset=utf-8", head + body + "</body></html>\n"};
    }
    if (path == "/health") {
        std::string json = "{\"stations\":[";
        for (size_t i = 0; i < sections.size(); ++i) {
            Answer answer = Respond(*sections[i].Data, refreshSeconds, method, path, target, params, now);
            json += std::string(i == 0 ? "" : ",") + "{\"name\":" + JsonText(sections[i].Name) +
                    ",\"directory\":" + JsonText(sections[i].Data->Directory()) +
                    ",\"health\":" + answer.Body + "}";
        }
        return {200, "application/json", json + "]}"};
    }
    size_t index = 1;
    auto it = params.find("station");
    if (it != params.end()) {
        const std::string &n = it->second;
        index = 0;
        for (char c : n)
            index = c >= '0' && c <= '9' && index < 1000 ? index * 10 + static_cast<size_t>(c - '0') : 100000;
        if (n.empty() || index < 1 || index > sections.size())
            return {400, "text/plain; charset=utf-8",
                    "station must be 1 to " + std::to_string(sections.size()) + "\n"};
    }
    return Respond(*sections[index - 1].Data, refreshSeconds, method, path, target, params, now);
}

void InstallSectionRoutes(httplib::Server &server, std::vector<Section> &sections, int refreshSeconds) {
    server.set_pre_routing_handler(
        [&sections, refreshSeconds](const httplib::Request &request, httplib::Response &response) {
            Answer answer = RespondSections(sections, refreshSeconds, request.method, request.path,
                                            request.target, request.params, Now());
            SendAnswer(answer, response);
            return httplib::Server::HandlerResponse::Handled;
        });
}

}  // namespace monitor
