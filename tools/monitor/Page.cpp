#include "tools/monitor/Page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace monitor {

using namespace station;

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
            default:
                out += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
        }
    }
    return out;
}

// A text as a JSON string's contents.
std::string JsonEscape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            out += '?';
        else
            out += c;
    }
    return out;
}

std::string Format(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string TimeOfDay(Millis t, bool seconds) {
    Civil c = CivilFromMillis(t);
    char text[32];
    if (seconds)
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", c.Hour, c.Minute, c.Second);
    else
        std::snprintf(text, sizeof text, "%02d:%02d", c.Hour, c.Minute);
    return text;
}

struct Point {
    Millis X;
    double Y;  // NaN: no value (a gap)
};

struct Series {
    std::string Name;
    std::string Color;
    std::vector<Point> Points;
};

// A line chart of series over [x0, x1]: lines break where a value is missing or where
// consecutive points lie more than gapMs apart, so holes in the data stay visible.
std::string Chart(const std::string &id, const std::string &title, const std::string &unit, Millis x0,
                  Millis x1, Millis gapMs, const std::vector<Series> &series, const std::vector<Mark> &marks,
                  bool clockTicks, double fixedLow = std::nan(""), double fixedHigh = std::nan("")) {
    const double width = 900, height = 220, left = 60, right = 110, top = 28, bottom = 30;
    const double plotW = width - left - right, plotH = height - top - bottom;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    size_t total = 0;
    for (const auto &s : series)
        for (const auto &p : s.Points)
            if (std::isfinite(p.Y) && p.X >= x0 && p.X <= x1) {
                low = std::min(low, p.Y);
                high = std::max(high, p.Y);
                ++total;
            }
    if (!std::isnan(fixedLow)) {
        low = fixedLow;
        high = fixedHigh;
    } else if (!std::isfinite(low)) {
        low = 0;
        high = 1;
    } else {
        double pad = (high - low) * 0.08;
        if (pad <= 0)
            pad = std::max(std::fabs(high) * 0.05, 0.05);
        low -= pad;
        high += pad;
        if (unit == "count" && low < 0)
            low = 0;  // counts are never negative
    }
    auto px = [&](Millis x) {
        return left + plotW * static_cast<double>(x - x0) / static_cast<double>(x1 - x0);
    };
    auto py = [&](double y) { return top + plotH * (1.0 - (y - low) / (high - low)); };

    std::string svg;
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" id=\"" + id +
           "\" width=\"900\" height=\"220\" ";
    svg += "viewBox=\"0 0 900 220\" data-points=\"" + std::to_string(total) + "\">";
    svg += "<title>" + Escape(title) + "</title>";
    svg += "<rect x=\"0\" y=\"0\" width=\"900\" height=\"220\" fill=\"#fff\"/>";
    svg += "<text x=\"" + Format("%.0f", left) + "\" y=\"18\" font-size=\"14\" font-family=\"sans-serif\">" +
           Escape(title) + " (" + Escape(unit) + ")</text>";
    // Marks first, so the lines stay on top.
    for (const auto &m : marks) {
        if (m.End < x0 || m.Start > x1)
            continue;
        double a = px(std::max(m.Start, x0)), b = px(std::min(m.End, x1));
        const char *color = m.Kind == "blackout" ? "#f2d98c" : "#e05050";
        svg += "<rect class=\"mark " + m.Kind + "\" x=\"" + Format("%.1f", a) + "\" y=\"" +
               Format("%.0f", top) + "\" width=\"" + Format("%.1f", std::max(b - a, 2.0)) + "\" height=\"" +
               Format("%.0f", plotH) + "\" fill=\"" + color + "\" opacity=\"0.7\"><title>" + Escape(m.Text) +
               "</title></rect>";
    }
    // Axes and grid.
    svg += "<g font-size=\"11\" font-family=\"sans-serif\" fill=\"#444\">";
    for (int i = 0; i <= 4; ++i) {
        double y = low + (high - low) * i / 4.0;
        double yy = py(y);
        svg += "<line x1=\"" + Format("%.0f", left) + "\" x2=\"" + Format("%.0f", left + plotW) + "\" y1=\"" +
               Format("%.1f", yy) + "\" y2=\"" + Format("%.1f", yy) + "\" stroke=\"#ddd\"/>";
        svg += "<text x=\"" + Format("%.0f", left - 6) + "\" y=\"" + Format("%.1f", yy + 4) +
               "\" text-anchor=\"end\">" + Format(std::fabs(high - low) >= 20 ? "%.0f" : "%.2f", y) +
               "</text>";
    }
    const int ticks = 8;
    for (int i = 0; i <= ticks; ++i) {
        Millis x = x0 + (x1 - x0) * i / ticks;
        double xx = px(x);
        svg += "<line x1=\"" + Format("%.1f", xx) + "\" x2=\"" + Format("%.1f", xx) + "\" y1=\"" +
               Format("%.0f", top) + "\" y2=\"" + Format("%.0f", top + plotH) + "\" stroke=\"#eee\"/>";
        svg += "<text x=\"" + Format("%.1f", xx) + "\" y=\"" + Format("%.0f", height - 10) +
               "\" text-anchor=\"middle\">" + TimeOfDay(x, !clockTicks) + "</text>";
    }
    svg += "<rect x=\"" + Format("%.0f", left) + "\" y=\"" + Format("%.0f", top) + "\" width=\"" +
           Format("%.0f", plotW) + "\" height=\"" + Format("%.0f", plotH) +
           "\" fill=\"none\" stroke=\"#888\"/>";
    svg += "</g>";
    // Lines, one polyline per unbroken run.
    int legend = 0;
    for (const auto &s : series) {
        std::string run;
        size_t runPoints = 0;
        Millis last = 0;
        auto flush = [&] {
            if (runPoints == 1)  // a lone point still shows
                svg += "<circle class=\"series\" data-series=\"" + s.Name + "\" cx=\"" +
                       run.substr(0, run.find(',')) + "\" cy=\"" + run.substr(run.find(',') + 1) +
                       "\" r=\"2\" fill=\"" + s.Color + "\"/>";
            else if (runPoints > 1)
                svg += "<polyline class=\"series\" data-series=\"" + s.Name + "\" fill=\"none\" stroke=\"" +
                       s.Color + "\" stroke-width=\"1.5\" points=\"" + run + "\"/>";
            run.clear();
            runPoints = 0;
        };
        for (const auto &p : s.Points) {
            if (p.X < x0 || p.X > x1)
                continue;
            if (!std::isfinite(p.Y) || (runPoints > 0 && p.X - last > gapMs)) {
                flush();
                if (!std::isfinite(p.Y))
                    continue;
            }
            if (!run.empty())
                run += ' ';
            run += Format("%.1f", px(p.X)) + "," + Format("%.1f", py(std::min(std::max(p.Y, low), high)));
            ++runPoints;
            last = p.X;
        }
        flush();
        double ly = top + 12 + 16 * legend++;
        svg += "<line x1=\"" + Format("%.0f", width - right + 10) + "\" x2=\"" +
               Format("%.0f", width - right + 30) + "\" y1=\"" + Format("%.0f", ly) + "\" y2=\"" +
               Format("%.0f", ly) + "\" stroke=\"" + s.Color + "\" stroke-width=\"2\"/><text x=\"" +
               Format("%.0f", width - right + 36) + "\" y=\"" + Format("%.0f", ly + 4) +
               "\" font-size=\"12\" font-family=\"sans-serif\">" + Escape(s.Name) + "</text>";
    }
    if (total == 0)
        svg +=
            "<text class=\"empty\" x=\"450\" y=\"120\" text-anchor=\"middle\" font-size=\"13\" "
            "font-family=\"sans-serif\" fill=\"#999\">no data</text>";
    svg += "</svg>";
    return svg;
}

double Figure(const StatsPeriod &p, int index) {
    const std::string &text = p.Fields[static_cast<size_t>(index)];
    return IsMissingStats(text) ? std::nan("") : std::strtod(text.c_str(), nullptr);
}

// A series of one figure over the day's periods, placed at the period ends.
Series FigureSeries(const DayView &day, int index, const std::string &name, const std::string &color) {
    Series s{name, color, {}};
    for (const auto &p : day.Periods)
        s.Points.push_back({p.End, Figure(p, index)});
    return s;
}

const char *Colors[4] = {"#1f77b4", "#2ca02c", "#9467bd", "#d62728"};
const char *Quantities[4] = {"u", "v", "w", "T"};
const int Firsts[4] = {UFirst, VFirst, WFirst, TFirst};

// Longest step between periods that is not a hole: one and a half periods of the day's most
// common length (60 s by default).
Millis PeriodGap(const DayView &day) {
    Millis period = 60000;
    if (day.Periods.size() >= 3) {
        std::vector<Millis> lengths;
        for (const auto &p : day.Periods)
            lengths.push_back(p.End - p.Start);
        std::nth_element(lengths.begin(), lengths.begin() + static_cast<long>(lengths.size() / 2),
                         lengths.end());
        period = std::max<Millis>(lengths[lengths.size() / 2], 1000);
    }
    return period * 3 / 2;
}

}  // namespace

const std::vector<std::string> &ChartNames() {
    static const std::vector<std::string> names = {"means",      "temperature",      "deviations",
                                                   "speed",      "direction",        "counts",
                                                   "trace-wind", "trace-temperature"};
    return names;
}

std::string ChartSvg(const std::string &name, const DayView &day, const std::vector<TraceSample> &trace) {
    const Millis x0 = day.Day, x1 = day.Day + DayMs, gap = PeriodGap(day);
    const std::string date = DayText(day.Day);
    if (name == "means") {
        std::vector<Series> s;
        for (int q = 0; q < 3; ++q)
            s.push_back(FigureSeries(day, Firsts[q] + 2, Quantities[q], Colors[q]));
        return Chart("chart-means", "Mean wind components " + date, "m/s", x0, x1, gap, s, day.Marks, true);
    }
    if (name == "temperature") {
        return Chart("chart-temperature", "Mean virtual temperature " + date,
                     "\xC2\xB0"
                     "C",
                     x0, x1, gap, {FigureSeries(day, TFirst + 2, "T", Colors[3])}, day.Marks, true);
    }
    if (name == "deviations") {
        std::vector<Series> s;
        for (int q = 0; q < 4; ++q)
            s.push_back(FigureSeries(day, Firsts[q] + 3, std::string("sd ") + Quantities[q], Colors[q]));
        return Chart("chart-deviations", "Standard deviations " + date,
                     "m/s, \xC2\xB0"
                     "C",
                     x0, x1, gap, s, day.Marks, true);
    }
    if (name == "speed" || name == "direction") {
        // From the period means: speed sqrt(u^2 + v^2); direction the wind comes from, with u
        // toward east and v toward north in the instrument's frame.
        Series speed{"speed", Colors[0], {}}, direction{"direction", Colors[3], {}};
        for (const auto &p : day.Periods) {
            double u = Figure(p, UFirst + 2), v = Figure(p, VFirst + 2);
            double dir = std::nan("");
            double sp = std::hypot(u, v);
            if (std::isfinite(sp) && sp > 0)
                dir = std::fmod(std::atan2(-u, -v) * 180.0 / M_PI + 360.0, 360.0);
            speed.Points.push_back({p.End, sp});
            direction.Points.push_back({p.End, dir});
        }
        if (name == "speed")
            return Chart("chart-speed", "Horizontal wind speed " + date, "m/s", x0, x1, gap, {speed},
                         day.Marks, true);
        return Chart("chart-direction", "Wind direction " + date, "degrees from north", x0, x1, gap,
                     {direction}, day.Marks, true, 0, 360);
    }
    if (name == "counts") {
        return Chart(
            "chart-counts", "Samples per period " + date, "count", x0, x1, gap,
            {FigureSeries(day, UFirst, "good", Colors[1]), FigureSeries(day, UFirst + 1, "bad", Colors[3]),
             FigureSeries(day, NumSamp, "blackout", "#c8a000")},
            day.Marks, true);
    }
    if (name == "trace-wind" || name == "trace-temperature") {
        Millis t1 = trace.empty() ? x1 : trace.back().Time;
        Millis t0 = t1 - Station::TraceSpanMs;
        // At most about 900 points a line: the mean of each slice of the span.
        const int buckets = 900;
        const Millis slice = std::max<Millis>(Station::TraceSpanMs / buckets, 1);
        std::vector<Series> s;
        int from = name == "trace-wind" ? 0 : 3, to = name == "trace-wind" ? 3 : 4;
        for (int q = from; q < to; ++q) {
            Series series{Quantities[q], Colors[q], {}};
            size_t i = 0;
            while (i < trace.size()) {
                Millis bucket = (trace[i].Time - t0) / slice;
                double sum = 0;
                int n = 0;
                Millis at = trace[i].Time;
                while (i < trace.size() && (trace[i].Time - t0) / slice == bucket) {
                    if (std::isfinite(trace[i].Values[q]))
                        sum += trace[i].Values[q], ++n;
                    ++i;
                }
                series.Points.push_back({at, n ? sum / n : std::nan("")});
            }
            s.push_back(series);
        }
        if (name == "trace-wind")
            return Chart("chart-trace-wind", "Last minutes of raw samples: u, v, w", "m/s", t0, t1, 2000, s,
                         {}, false);
        return Chart("chart-trace-temperature", "Last minutes of raw samples: T",
                     "\xC2\xB0"
                     "C",
                     t0, t1, 2000, s, {}, false);
    }
    return "";
}

std::string HealthJson(const Health &h) {
    char text[2048];
    std::snprintf(
        text, sizeof text,
        "{\"state\":\"%s\",\"running\":%s,\"now\":\"%s\",\"last_sample\":%s,\"sample_age_s\":%s,"
        "\"lines_per_second\":%.2f,\"last_archive_pass\":%s,\"losses_today\":%ld,\"cut_lines_today\":%ld,"
        "\"excluded_today\":%ld,\"errors_today\":%ld,\"archive_samples\":%s,\"archive_date\":%s,"
        "\"skipped_lines\":%ld,\"clock\":\"%s\"}\n",
        h.State.c_str(), h.Running ? "true" : "false", IsoTime(h.Now).c_str(),
        h.HaveSample ? ("\"" + IsoTime(h.LastSample) + "\"").c_str() : "null",
        h.HaveSample ? Format("%.1f", h.SampleAgeSeconds).c_str() : "null", h.LinesPerSecond,
        h.LastArchivePass ? ("\"" + IsoTime(h.LastArchivePass) + "\"").c_str() : "null", h.Losses, h.CutLines,
        h.Excluded, h.Errors, h.ArchiveSamples >= 0 ? std::to_string(h.ArchiveSamples).c_str() : "null",
        h.ArchiveDate.empty() ? "null" : ("\"" + JsonEscape(h.ArchiveDate) + "\"").c_str(), h.SkippedLines,
        JsonEscape(h.Clock).c_str());
    return text;
}

std::string LogText(const std::vector<LogLine> &log) {
    std::string text;
    for (const auto &line : log) {
        char head[64];
        std::snprintf(head, sizeof head, "%s  %4d  ", IsoTime(line.Entry.Time).c_str(), line.Entry.Code);
        text += head + line.Entry.Message + (line.Error ? "  [error]\n" : "\n");
    }
    return text;
}

std::string PageHtml(const Health &h, const DayView &day, const std::vector<TraceSample> &trace,
                     const std::vector<LogLine> &log, const std::vector<Millis> &days, int refreshSeconds,
                     const std::string &dataDirectory) {
    std::string html;
    html += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
    html += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refreshSeconds) + "\">";
    html +=
        "<title>Kestrune station</title><style>"
        "body{font-family:sans-serif;margin:16px;color:#222;max-width:940px}"
        "h1{font-size:20px}h2{font-size:16px;margin-top:22px}"
        "table{border-collapse:collapse}td,th{padding:2px 10px;text-align:left}"
        "#health td:first-child{color:#555}"
        ".running{color:#08741c;font-weight:bold}.stopped,.no-data{color:#b00;font-weight:bold}"
        "#log td{font-family:monospace;font-size:12px;white-space:pre-wrap}"
        "#log tr.error td{color:#b00;font-weight:bold}"
        "nav a{margin-right:8px}nav a.current{font-weight:bold;text-decoration:none;color:#222}"
        "svg.chart{display:block;margin:6px 0}"
        "</style></head><body>\n";
    html += "<h1>Kestrune station</h1>\n";
    std::string cls = h.State == "no data" ? "no-data" : h.State;
    html += "<section id=\"health\" data-state=\"" + h.State + "\"><h2>Health</h2><table>";
    auto row = [&](const std::string &name, const std::string &id, const std::string &value,
                   const std::string &c = "") {
        html += "<tr><td>" + name + "</td><td id=\"" + id + "\"" + (c.empty() ? "" : " class=\"" + c + "\"") +
                ">" + value + "</td></tr>";
    };
    row("Acquisition", "state", Escape(h.State), cls);
    row("Last archived sample", "last-sample",
        h.HaveSample ? IsoTime(h.LastSample) + " (" + Format("%.1f", h.SampleAgeSeconds) + " s ago)"
                     : "none");
    row("Lines per second", "rate", Format("%.1f", h.LinesPerSecond));
    row("Last archive pass", "last-pass", h.LastArchivePass ? IsoTime(h.LastArchivePass) : "none today");
    row("Registry: ArchiveSamples, ArchiveDate", "registry",
        h.HaveRegistry ? (h.ArchiveSamples >= 0 ? std::to_string(h.ArchiveSamples) : std::string("-")) +
                             ", " + Escape(h.ArchiveDate)
                       : "no values");
    row("Lines lost today (5301)", "losses", std::to_string(h.Losses), h.Losses ? "stopped" : "");
    row("Over-long lines cut today (5302)", "cut-lines", std::to_string(h.CutLines));
    row("Samples excluded today", "excluded", std::to_string(h.Excluded));
    row("Error entries today", "errors", std::to_string(h.Errors), h.Errors ? "stopped" : "");
    row("Clock", "clock", Escape(h.Clock), h.Clock.compare(0, 12, "synchronised") == 0 ? "" : "stopped");
    row("Data directory", "data-dir", Escape(dataDirectory));
    row("Page time", "page-time", IsoTime(h.Now));
    html += "</table></section>\n";

    html += "<h2>Statistics of " + DayText(day.Day) + "</h2>\n<nav id=\"days\">Day: ";
    size_t shown = 0;
    for (auto it = days.rbegin(); it != days.rend() && shown < 31; ++it, ++shown) {
        std::string d = DayText(*it);
        html +=
            "<a href=\"/?day=" + d + "\"" + (*it == day.Day ? " class=\"current\"" : "") + ">" + d + "</a>";
    }
    html += "</nav>\n";
    html += "<section id=\"charts\" data-day=\"" + DayText(day.Day) + "\" data-periods=\"" +
            std::to_string(day.Periods.size()) + "\" data-marks=\"" + std::to_string(day.Marks.size()) +
            "\">\n";
    for (const char *name : {"means", "temperature", "deviations", "speed", "direction", "counts"})
        html += ChartSvg(name, day, trace) + "\n";
    html +=
        "<p>Shaded: blackout windows after a clock synchronisation; red: lines or data lost. Gaps in a line "
        "are "
        "periods without a valid line.</p></section>\n";
    html +=
        "<section id=\"trace\" data-samples=\"" + std::to_string(trace.size()) + "\"><h2>Live trace</h2>\n";
    html += ChartSvg("trace-wind", day, trace) + "\n" + ChartSvg("trace-temperature", day, trace) +
            "\n</section>\n";

    html += "<section id=\"log\"><h2>Event log</h2><table>";
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        html += std::string("<tr") + (it->Error ? " class=\"error\"" : "") + "><td>" +
                TimeOfDay(it->Entry.Time, true) + "</td><td>" + std::to_string(it->Entry.Code) + "</td><td>" +
                Escape(it->Entry.Message) + "</td></tr>";
    }
    html += "</table></section>\n</body></html>\n";
    return html;
}

}  // namespace monitor
