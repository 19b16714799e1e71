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
    double Y;                     // NaN: no value (a gap)
    const char *Color = nullptr;  // a dot's own colour (flux points, by their flag)
    const char *Flag = nullptr;   // a dot's flag text ("0", "1", "2", "none")
};

struct Series {
    std::string Name;
    std::string Color;
    std::vector<Point> Points;
    bool Dots = false;  // one dot per point, no line
};

struct ChartSpec {
    std::string Id, Title, Unit;
    Millis X0 = 0, X1 = 1, GapMs = 0;
    std::vector<Series> Lines;
    std::vector<Mark> Marks;
    double FixedLow = std::nan(""), FixedHigh = std::nan("");  // a fixed value range
    double Limit = std::numeric_limits<double>::infinity();    // the range never reaches beyond +-Limit
    std::string Empty = "no data";                             // why the chart holds no point
    std::vector<std::pair<std::string, std::string>> Legend;   // name, colour; default: the series
};

// A round step (1, 2 or 5 times a power of ten) that cuts span into about count pieces.
double RoundStep(double span, int count) {
    double raw = span / count;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double f : {1.0, 2.0, 5.0, 10.0})
        if (raw <= f * power * 1.0000001)
            return f * power;
    return 10 * power;
}

// Digits after the point that show a value on a grid of this step.
int StepDecimals(double step) {
    int decimals = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    return std::min(std::max(decimals, 0), 6);
}

// A time step for ticks over span: the first of the round steps that gives at most 8 ticks.
Millis TimeStep(Millis span) {
    static const Millis steps[] = {1000,    2000,    5000,     10000,    15000,    30000,
                                   60000,   120000,  300000,   600000,   900000,   1800000,
                                   3600000, 7200000, 10800000, 21600000, 43200000, 86400000};
    for (Millis step : steps)
        if (span / step <= 8)
            return step;
    return 86400000;
}

// "HH:MM" or "HH:MM:SS"; the end of a day is "24:00".
std::string TickText(Millis t, Millis dayStart, bool seconds) {
    if (t - dayStart == DayMs && !seconds)
        return "24:00";
    return TimeOfDay(t, seconds);
}

// The frame of a chart: its geometry, and the time and value ranges it shows with the value
// axis' step.
struct ChartFrame {
    static constexpr double Width = 900, Height = 220, Left = 60, Right = 110, Top = 28, Bottom = 30;
    static constexpr double PlotW = Width - Left - Right, PlotH = Height - Top - Bottom;
    Millis X0 = 0, X1 = 1;
    double Low = 0, High = 1, Step = 1;

    double Px(Millis x) const {
        return Left + PlotW * static_cast<double>(x - X0) / static_cast<double>(X1 - X0);
    }
    double Py(double y) const { return Top + PlotH * (1.0 - (y - Low) / (High - Low)); }
    double ClampedPy(double y) const { return Py(std::min(std::max(y, Low), High)); }
};

// The value range: fixed, or the points' range (clipped to the limit) widened to round ticks.
// `total` is the count of points that show.
ChartFrame FrameOf(const ChartSpec &c, size_t &total) {
    ChartFrame f;
    f.X0 = c.X0;
    f.X1 = c.X1 > c.X0 ? c.X1 : c.X0 + 1;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    total = 0;
    for (const auto &s : c.Lines)
        for (const auto &p : s.Points)
            if (std::isfinite(p.Y) && p.X >= f.X0 && p.X <= f.X1) {
                low = std::min(low, std::max(p.Y, -c.Limit));
                high = std::max(high, std::min(p.Y, c.Limit));
                ++total;
            }
    double step;
    if (!std::isnan(c.FixedLow)) {
        low = c.FixedLow;
        high = c.FixedHigh;
        step = RoundStep(high - low, 4);
        if (std::fmod(high - low, 90.0) == 0 && high - low >= 180)
            step = 90;
    } else {
        if (!std::isfinite(low)) {
            low = 0;
            high = 1;
        } else if (high - low <= 0) {
            double pad = std::max(std::fabs(high) * 0.05, 0.05);
            low -= pad;
            high += pad;
        }
        step = RoundStep(high - low, 4);
        low = std::floor(low / step + 1e-9) * step;
        high = std::ceil(high / step - 1e-9) * step;
        if (high - low < step / 2)
            high = low + step;
        if (c.Unit == "count" && low < 0)
            low = 0;  // counts are never negative
    }
    f.Low = low;
    f.High = high;
    f.Step = step;
    return f;
}

// Marks first, so the lines stay on top.
void DrawMarks(std::string &svg, const ChartSpec &c, const ChartFrame &f) {
    const double top = ChartFrame::Top, plotH = ChartFrame::PlotH;
    for (const auto &m : c.Marks) {
        if (m.End < f.X0 || m.Start > f.X1)
            continue;
        double a = f.Px(std::max(m.Start, f.X0)), b = f.Px(std::min(m.End, f.X1));
        const char *color = m.Kind == "blackout" ? "#f2d98c" : "#e05050";
        svg += "<rect class=\"mark " + m.Kind + "\" x=\"" + Format("%.1f", a) + "\" y=\"" +
               Format("%.0f", top) + "\" width=\"" + Format("%.1f", std::max(b - a, 2.0)) + "\" height=\"" +
               Format("%.0f", plotH) + "\" fill=\"" + color + "\" opacity=\"0.7\"><title>" + Escape(m.Text) +
               "</title></rect>";
    }
}

// Axes and grid: value ticks at multiples of the step, time ticks at round UTC times.
void DrawAxes(std::string &svg, const ChartFrame &f) {
    const double left = ChartFrame::Left, top = ChartFrame::Top, plotW = ChartFrame::PlotW,
                 plotH = ChartFrame::PlotH, height = ChartFrame::Height;
    const double low = f.Low, high = f.High, step = f.Step;
    const int decimals = StepDecimals(step);
    svg += "<g font-size=\"11\" font-family=\"sans-serif\" fill=\"#444\">";
    const int valueTicks = static_cast<int>(std::lround((high - low) / step));
    for (int i = 0; i <= valueTicks && i <= 20; ++i) {
        double y = low + step * i;
        double yy = f.Py(y);
        char label[48];
        std::snprintf(label, sizeof label, "%.*f", decimals, std::fabs(y) < step * 1e-6 ? 0.0 : y);
        svg += "<line x1=\"" + Format("%.0f", left) + "\" x2=\"" + Format("%.0f", left + plotW) + "\" y1=\"" +
               Format("%.1f", yy) + "\" y2=\"" + Format("%.1f", yy) + "\" stroke=\"#ddd\"/>";
        svg += "<text class=\"tick-y\" x=\"" + Format("%.0f", left - 6) + "\" y=\"" + Format("%.1f", yy + 4) +
               "\" text-anchor=\"end\">" + label + "</text>";
    }
    const Millis timeStep = TimeStep(f.X1 - f.X0);
    const bool seconds = timeStep < 60000;
    for (Millis x = (f.X0 + timeStep - 1) / timeStep * timeStep; x <= f.X1; x += timeStep) {
        double xx = f.Px(x);
        svg += "<line x1=\"" + Format("%.1f", xx) + "\" x2=\"" + Format("%.1f", xx) + "\" y1=\"" +
               Format("%.0f", top) + "\" y2=\"" + Format("%.0f", top + plotH) + "\" stroke=\"#eee\"/>";
        svg += "<text class=\"tick-x\" x=\"" + Format("%.1f", xx) + "\" y=\"" + Format("%.0f", height - 12) +
               "\" text-anchor=\"middle\">" + TickText(x, DayOf(f.X0), seconds) + "</text>";
    }
    svg += "<text class=\"axis-unit\" x=\"" + Format("%.0f", left + plotW + 24) + "\" y=\"" +
           Format("%.0f", height - 12) + "\" text-anchor=\"start\">UTC</text>";
    svg += "<rect x=\"" + Format("%.0f", left) + "\" y=\"" + Format("%.0f", top) + "\" width=\"" +
           Format("%.0f", plotW) + "\" height=\"" + Format("%.0f", plotH) +
           "\" fill=\"none\" stroke=\"#888\"/>";
    svg += "</g>";
}

// A dot series: each point alone, in its own colour where it has one.
void DrawDots(std::string &svg, const Series &s, const ChartFrame &f) {
    for (const auto &p : s.Points) {
        if (p.X < f.X0 || p.X > f.X1 || !std::isfinite(p.Y))
            continue;
        svg += "<circle class=\"series dot\" data-series=\"" + s.Name + "\"" +
               (p.Flag ? std::string(" data-flag=\"") + p.Flag + "\"" : std::string()) + " cx=\"" +
               Format("%.1f", f.Px(p.X)) + "\" cy=\"" + Format("%.1f", f.ClampedPy(p.Y)) +
               "\" r=\"3.5\" fill=\"" + (p.Color ? p.Color : s.Color.c_str()) + "\"/>";
    }
}

// A line series: one polyline per unbroken run (a missing value or a gap longer than gapMs
// breaks it); a lone point still shows.
void DrawLine(std::string &svg, const Series &s, const ChartFrame &f, Millis gapMs) {
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
        if (p.X < f.X0 || p.X > f.X1)
            continue;
        if (!std::isfinite(p.Y) || (runPoints > 0 && p.X - last > gapMs)) {
            flush();
            if (!std::isfinite(p.Y))
                continue;
        }
        if (!run.empty())
            run += ' ';
        run += Format("%.1f", f.Px(p.X)) + "," + Format("%.1f", f.ClampedPy(p.Y));
        ++runPoints;
        last = p.X;
    }
    flush();
}

// The legend at the right: the given one, or the series' names and colours.
void DrawLegend(std::string &svg, const ChartSpec &c) {
    const double width = ChartFrame::Width, right = ChartFrame::Right, top = ChartFrame::Top;
    std::vector<std::pair<std::string, std::string>> legend = c.Legend;
    if (legend.empty())
        for (const auto &s : c.Lines)
            legend.push_back({s.Name, s.Color});
    for (size_t i = 0; i < legend.size(); ++i) {
        double ly = top + 12 + 16 * static_cast<double>(i);
        svg += "<line x1=\"" + Format("%.0f", width - right + 10) + "\" x2=\"" +
               Format("%.0f", width - right + 30) + "\" y1=\"" + Format("%.0f", ly) + "\" y2=\"" +
               Format("%.0f", ly) + "\" stroke=\"" + legend[i].second + "\" stroke-width=\"" +
               (c.Legend.empty() ? "2" : "6") + "\"/><text x=\"" + Format("%.0f", width - right + 36) +
               "\" y=\"" + Format("%.0f", ly + 4) + "\" font-size=\"12\" font-family=\"sans-serif\">" +
               Escape(legend[i].first) + "</text>";
    }
}

// A chart of series over [x0, x1]: lines break where a value is missing or where consecutive
// points lie more than gapMs apart, so holes in the data stay visible; dot series draw each
// point alone in its own colour. The value axis has round ticks, the time axis ticks at round
// UTC times.
std::string Chart(const ChartSpec &c) {
    size_t total = 0;
    const ChartFrame f = FrameOf(c, total);
    const double left = ChartFrame::Left, plotW = ChartFrame::PlotW;

    std::string svg;
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" id=\"" + c.Id +
           "\" width=\"900\" height=\"220\" ";
    svg += "viewBox=\"0 0 900 220\" data-points=\"" + std::to_string(total) + "\">";
    svg += "<title>" + Escape(c.Title) + "</title>";
    svg += "<rect x=\"0\" y=\"0\" width=\"900\" height=\"220\" fill=\"#fff\"/>";
    svg += "<text x=\"" + Format("%.0f", left) + "\" y=\"18\" font-size=\"14\" font-family=\"sans-serif\">" +
           Escape(c.Title) + " (" + Escape(c.Unit) + ")</text>";
    DrawMarks(svg, c, f);
    DrawAxes(svg, f);
    for (const auto &s : c.Lines) {
        if (s.Dots)
            DrawDots(svg, s, f);
        else
            DrawLine(svg, s, f, c.GapMs);
    }
    DrawLegend(svg, c);
    if (total == 0)
        svg +=
            "<text class=\"empty\" x=\"" + Format("%.0f", left + plotW / 2) +
            "\" y=\"120\" text-anchor=\"middle\" font-size=\"14\" font-family=\"sans-serif\" fill=\"#666\">" +
            Escape(c.Empty) + "</text>";
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

// ---- Flux periods ---------------------------------------------------------------------------

const char *FlagColor(const std::string &flag) {
    if (flag == "0")
        return "#2ca02c";
    if (flag == "1")
        return "#ff9f1c";
    if (flag == "2")
        return "#d62728";
    return "#8c8c8c";
}

const char *FlagName(const std::string &flag) {
    return flag == "0" ? "0" : flag == "1" ? "1" : flag == "2" ? "2" : "none";
}

const std::vector<std::pair<std::string, std::string>> &FlagLegend() {
    static const std::vector<std::pair<std::string, std::string>> legend = {{"flag 0", FlagColor("0")},
                                                                            {"flag 1", FlagColor("1")},
                                                                            {"flag 2", FlagColor("2")},
                                                                            {"no flag", FlagColor("")}};
    return legend;
}

double FluxFigure(const FluxRow &row, int index) {
    const std::string &text = row.Fields[static_cast<size_t>(index)];
    return text.empty() ? std::nan("") : std::strtod(text.c_str(), nullptr);
}

// "30-min" for 1800 s, "90-s" for 90 s.
std::string PeriodName(long seconds) {
    char text[32];
    if (seconds % 60 == 0)
        std::snprintf(text, sizeof text, "%ld-min", seconds / 60);
    else
        std::snprintf(text, sizeof text, "%ld-s", seconds);
    return text;
}

// Why a flux chart of the day holds no point.
std::string FluxEmpty(const DayView &day, const char *what) {
    const FluxView &flux = day.Flux;
    char text[160];
    if (flux.PeriodSeconds <= 0)
        return "fluxes are switched off (FluxPeriod 0)";
    if (!flux.Rows.empty()) {
        std::snprintf(text, sizeof text, "no %s could be computed in the day's %zu periods", what,
                      flux.Rows.size());
        return text;
    }
    const Millis today = DayOf(day.Now);
    if (day.Day == today) {
        const Millis period = flux.PeriodSeconds * 1000LL;
        const Millis end = (day.Now - day.Day) / period * period + period + day.Day;
        std::snprintf(text, sizeof text, "first %s period ends at %s UTC",
                      PeriodName(flux.PeriodSeconds).c_str(), TimeOfDay(end, end % 60000 != 0).c_str());
        return text;
    }
    if (day.Day > today)
        return "this day has not begun";
    std::snprintf(text, sizeof text, "no flux periods on %s (no rows in %s)", DayText(day.Day).c_str(),
                  flux.FileName.c_str());
    return text;
}

// One figure of the day's flux periods as dots at the period ends, coloured by the flag.
Series FluxSeries(const DayView &day, int index, int flagIndex, const std::string &name) {
    Series s{name, FlagColor(""), {}, true};
    for (const auto &row : day.Flux.Rows) {
        const std::string &flag = row.Fields[static_cast<size_t>(flagIndex)];
        s.Points.push_back({row.End, FluxFigure(row, index), FlagColor(flag), FlagName(flag)});
    }
    return s;
}

// The flux charts: one figure of the day's flux periods as dots coloured by their flag, with
// the flags' legend and no marks; "" for an unknown name.
std::string FluxChart(const std::string &name, const DayView &day, const std::string &date, ChartSpec &c) {
    c.Legend = FlagLegend();
    c.Marks.clear();
    if (name == "flux-ustar") {
        c.Title = "Friction velocity u* " + date;
        c.Unit = "m/s";
        c.Lines = {FluxSeries(day, FluxUstar, FluxFlagTau, "ustar")};
        c.Empty = FluxEmpty(day, "u*");
    } else if (name == "flux-heat") {
        c.Title = "Sensible heat flux H " + date;
        c.Unit = "W/m\xC2\xB2";
        c.Lines = {FluxSeries(day, FluxH, FluxFlagH, "H")};
        c.Empty = FluxEmpty(day, "H");
    } else if (name == "flux-obukhov") {
        c.Title = "Obukhov length L " + date;
        c.Unit =
            "m, shown within \xC2\xB1"
            "1000";
        c.Limit = 1000;
        c.Lines = {FluxSeries(day, FluxL, FluxFlagH, "L")};
        c.Empty = FluxEmpty(day, "L");
    } else if (name == "flux-speed") {
        c.Title = "Wind speed of the flux periods " + date;
        c.Unit = "m/s";
        c.Lines = {FluxSeries(day, FluxWindSpeed, FluxFlagTau, "wind_speed")};
        c.Empty = FluxEmpty(day, "wind speed");
    } else if (name == "flux-direction") {
        c.Title = "Wind direction of the flux periods " + date;
        c.Unit = "degrees from north";
        c.FixedLow = 0;
        c.FixedHigh = 360;
        c.Lines = {FluxSeries(day, FluxWindDir, FluxFlagTau, "wind_dir")};
        c.Empty = FluxEmpty(day, "wind direction");
    } else {
        return "";
    }
    return Chart(c);
}

// The speed or the direction chart, from the period means: speed sqrt(u^2 + v^2); direction
// the wind comes from, with u toward east and v toward north in the instrument's frame.
std::string WindChart(const std::string &name, const DayView &day, const std::string &date, ChartSpec &c) {
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
    if (name == "speed") {
        c.Title = "Horizontal wind speed " + date;
        c.Unit = "m/s";
        c.Lines = {speed};
        return Chart(c);
    }
    c.Title = "Wind direction " + date;
    c.Unit = "degrees from north";
    c.Lines = {direction};
    c.FixedLow = 0;
    c.FixedHigh = 360;
    return Chart(c);
}

// The charts of the day's statistics periods; "" for an unknown name.
std::string StatisticsChart(const std::string &name, const DayView &day, const std::string &date,
                            ChartSpec &c) {
    if (name == "means") {
        for (int q = 0; q < 3; ++q)
            c.Lines.push_back(FigureSeries(day, Firsts[q] + 2, Quantities[q], Colors[q]));
        c.Title = "Mean wind components " + date;
        c.Unit = "m/s";
        return Chart(c);
    }
    if (name == "temperature") {
        c.Title = "Mean virtual temperature " + date;
        c.Unit =
            "\xC2\xB0"
            "C";
        c.Lines = {FigureSeries(day, TFirst + 2, "T", Colors[3])};
        return Chart(c);
    }
    if (name == "deviations") {
        for (int q = 0; q < 4; ++q)
            c.Lines.push_back(
                FigureSeries(day, Firsts[q] + 3, std::string("sd ") + Quantities[q], Colors[q]));
        c.Title = "Standard deviations " + date;
        c.Unit =
            "m/s, \xC2\xB0"
            "C";
        return Chart(c);
    }
    if (name == "speed" || name == "direction")
        return WindChart(name, day, date, c);
    if (name == "counts") {
        c.Title = "Samples per period " + date;
        c.Unit = "count";
        c.Lines = {FigureSeries(day, UFirst, "good", Colors[1]),
                   FigureSeries(day, UFirst + 1, "bad", Colors[3]),
                   FigureSeries(day, NumSamp, "blackout", "#c8a000")};
        return Chart(c);
    }
    return "";
}

// One quantity of the trace, at most about one point per slice of the span from t0: the mean
// of the slice's values, at the slice's first sample (NaN where none of them has a value).
Series TraceSeries(const std::vector<TraceSample> &trace, int q, Millis t0, Millis slice) {
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
    return series;
}

// The live trace's charts over the span that ends at the newest sample (at the end of the day
// where there is none): u, v and w, or T.
std::string TraceChart(const std::string &name, const std::vector<TraceSample> &trace, ChartSpec &c) {
    Millis t1 = trace.empty() ? c.X1 : trace.back().Time;
    Millis t0 = t1 - Station::TraceSpanMs;
    // At most about 900 points a line: the mean of each slice of the span.
    const int buckets = 900;
    const Millis slice = std::max<Millis>(Station::TraceSpanMs / buckets, 1);
    int from = name == "trace-wind" ? 0 : 3, to = name == "trace-wind" ? 3 : 4;
    for (int q = from; q < to; ++q)
        c.Lines.push_back(TraceSeries(trace, q, t0, slice));
    c.X0 = t0;
    c.X1 = t1;
    c.GapMs = 2000;
    c.Marks.clear();
    c.Empty = "no raw samples in the newest raw files";
    if (name == "trace-wind") {
        c.Title = "Last minutes of raw samples: u, v, w";
        c.Unit = "m/s";
    } else {
        c.Title = "Last minutes of raw samples: T";
        c.Unit =
            "\xC2\xB0"
            "C";
    }
    return Chart(c);
}

}  // namespace

const std::vector<std::string> &ChartNames() {
    static const std::vector<std::string> names = {
        "flux-ustar", "flux-heat",   "flux-obukhov",     "flux-speed", "flux-direction",
        "means",      "temperature", "deviations",       "speed",      "direction",
        "counts",     "trace-wind",  "trace-temperature"};
    return names;
}

std::string ChartSvg(const std::string &name, const DayView &day, const std::vector<TraceSample> &trace) {
    const Millis x0 = day.Day, x1 = day.Day + DayMs, gap = PeriodGap(day);
    const std::string date = DayText(day.Day);
    ChartSpec c;
    c.Id = "chart-" + name;
    c.X0 = x0;
    c.X1 = x1;
    c.GapMs = gap;
    c.Marks = day.Marks;
    if (name.compare(0, 5, "flux-") == 0)
        return FluxChart(name, day, date, c);
    c.Empty =
        day.Day == DayOf(day.Now) ? "no statistics period yet today" : "no statistics periods on " + date;
    if (name == "trace-wind" || name == "trace-temperature")
        return TraceChart(name, trace, c);
    return StatisticsChart(name, day, date, c);
}

std::string HealthJson(const Health &h) {
    char text[2048];
    std::snprintf(
        text, sizeof text,
        "{\"state\":\"%s\",\"running\":%s,\"now\":\"%s\",\"last_sample\":%s,\"sample_age_s\":%s,"
        "\"lines_per_second\":%s,\"last_archive_pass\":%s,\"losses_today\":%ld,\"cut_lines_today\":%ld,"
        "\"excluded_today\":%ld,\"errors_today\":%ld,\"archive_samples\":%s,\"archive_date\":%s,"
        "\"skipped_lines\":%ld,\"reading_pauses_today\":%ld,\"clock\":\"%s\"}\n",
        h.State.c_str(), h.Running ? "true" : "false", IsoTime(h.Now).c_str(),
        h.HaveSample ? ("\"" + IsoTime(h.LastSample) + "\"").c_str() : "null",
        h.HaveSample ? Format("%.1f", h.SampleAgeSeconds).c_str() : "null",
        h.Running ? Format("%.2f", h.LinesPerSecond).c_str() : "null",
        h.LastArchivePass ? ("\"" + IsoTime(h.LastArchivePass) + "\"").c_str() : "null", h.Losses, h.CutLines,
        h.Excluded, h.Errors, h.ArchiveSamples >= 0 ? std::to_string(h.ArchiveSamples).c_str() : "null",
        h.ArchiveDate.empty() ? "null" : ("\"" + JsonEscape(h.ArchiveDate) + "\"").c_str(), h.SkippedLines,
        h.ReadingPauses, JsonEscape(h.Clock).c_str());
    return text;
}

std::string LogText(const std::vector<LogLine> &log) {
    std::string text;
    for (const auto &line : log) {
        char head[160];
        if (line.Folded > 1)
            std::snprintf(head, sizeof head,
                          "%s  %4d  ... %ld routine archive entries (%d) from %s, the last: ",
                          IsoTime(line.Entry.Time).c_str(), line.Entry.Code, line.Folded, line.Entry.Code,
                          IsoTime(line.FoldedFrom).c_str());
        else
            std::snprintf(head, sizeof head, "%s  %4d  ", IsoTime(line.Entry.Time).c_str(), line.Entry.Code);
        text += head + line.Entry.Message + (line.Error ? "  [error]\n" : "\n");
    }
    return text;
}

namespace {

// A flux figure for the table: rounded to what a reader compares, "-" where it is empty.
std::string TableFigure(const FluxRow &row, int index, const char *format) {
    double value = FluxFigure(row, index);
    return std::isfinite(value) ? Format(format, value) : std::string("-");
}

std::string FlagCell(const FluxRow &row, int index) {
    const std::string &flag = row.Fields[static_cast<size_t>(index)];
    return std::string("<td class=\"flag flag-") + FlagName(flag) + "\">" +
           (flag.empty() ? "-" : Escape(flag)) + "</td>";
}

// The last periods of the day, newest first.
std::string FluxTable(const FluxView &flux) {
    const size_t shown = 12;
    std::string html =
        "<div class=\"scroll\"><table id=\"flux-table\"><tr><th>period end (UTC)</th><th>samples</th>"
        "<th>u* (m/s)</th><th>H (W/m\xC2\xB2)</th><th>L (m)</th><th>wind (m/s)</th><th>dir (\xC2\xB0)</th>"
        "<th>flag_tau</th><th>flag_H</th></tr>";
    size_t n = 0;
    for (auto it = flux.Rows.rbegin(); it != flux.Rows.rend() && n < shown; ++it, ++n) {
        const FluxRow &row = *it;
        html += "<tr><td>" + TimeOfDay(row.End, row.End % 60000 != 0) + "</td><td>" +
                (row.Fields[FluxSamples].empty() ? "-" : Escape(row.Fields[FluxSamples])) + "</td><td>" +
                TableFigure(row, FluxUstar, "%.3f") + "</td><td>" + TableFigure(row, FluxH, "%.1f") +
                "</td><td>" + TableFigure(row, FluxL, "%.1f") + "</td><td>" +
                TableFigure(row, FluxWindSpeed, "%.2f") + "</td><td>" +
                TableFigure(row, FluxWindDir, "%.0f") + "</td>" + FlagCell(row, FluxFlagTau) +
                FlagCell(row, FluxFlagH) + "</tr>";
    }
    if (n == 0)
        html += "<tr><td colspan=\"9\">no flux periods</td></tr>";
    return html + "</table></div>";
}

// The page's head with its style sheet, up to the heading.
void AppendHead(std::string &html, int refreshSeconds) {
    html += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
    html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
    html += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refreshSeconds) + "\">";
    html +=
        "<title>Kestrune station</title><style>"
        "body{font-family:sans-serif;margin:16px;color:#222;max-width:940px}"
        "@media (max-width:600px){body{margin:6px}td,th{padding:2px 4px}}"
        "h1{font-size:20px}h2{font-size:16px;margin-top:22px}"
        "table{border-collapse:collapse}td,th{padding:2px 10px;text-align:left}"
        "#health td{overflow-wrap:anywhere}#health td:first-child{color:#555}"
        ".running{color:#08741c;font-weight:bold}.stopped,.no-data{color:#b00;font-weight:bold}"
        "#log td{font-family:monospace;font-size:12px;white-space:pre-wrap}"
        "#log tr.error td{color:#b00;font-weight:bold}#log tr.warning td{color:#a60}#log tr.routine "
        "td{color:#777}"
        "#flux-table td,#flux-table th{text-align:right;font-size:13px}"
        ".flag-0{color:#1b7a1b}.flag-1{color:#b86e00}.flag-2{color:#b00}.flag-none{color:#777}"
        ".scroll{overflow-x:auto}"
        "nav a{margin-right:8px}nav a.current{font-weight:bold;text-decoration:none;color:#222}"
        "svg.chart{display:block;margin:6px 0;width:100%;max-width:900px;height:auto}"
        "</style></head><body>\n";
    html += "<h1>Kestrune station</h1>\n";
}

// One row of the health table; cls: the value cell's class, none when empty.
void AppendHealthRow(std::string &html, const std::string &name, const std::string &id,
                     const std::string &value, const std::string &cls = "") {
    html += "<tr><td>" + name + "</td><td id=\"" + id + "\"" + (cls.empty() ? "" : " class=\"" + cls + "\"") +
            ">" + value + "</td></tr>";
}

// The newest 5017 entry, as the event log below shows it.
std::string ArchivePassText(const Health &h) {
    std::string pass = "none in today's or yesterday's log";
    if (h.LastArchivePass) {
        pass =
            TimeOfDay(h.LastArchivePass, true) + " UTC" +
            (DayOf(h.LastArchivePass) == DayOf(h.Now) ? std::string() : " on " + DayText(h.LastArchivePass)) +
            " (" + Format("%.0f", static_cast<double>(h.Now - h.LastArchivePass) / 1000.0) +
            " s ago): " + Escape(h.LastArchiveMessage);
    }
    return pass;
}

// The health facts as a table.
void AppendHealth(std::string &html, const Health &h, const std::string &dataDirectory) {
    std::string cls = h.State == "no data" ? "no-data" : h.State;
    html += "<section id=\"health\" data-state=\"" + h.State + "\"><h2>Health</h2><table>";
    AppendHealthRow(html, "Acquisition", "state", Escape(h.State), cls);
    AppendHealthRow(html, "Last archived sample", "last-sample",
                    h.HaveSample
                        ? IsoTime(h.LastSample) + " (" + Format("%.1f", h.SampleAgeSeconds) + " s ago)"
                        : "none");
    // A rate is only live while the station runs; the rate of the last minute before a stop
    // would read as if samples still came in.
    AppendHealthRow(html, "Lines per second", "rate",
                    h.Running ? Format("%.1f", h.LinesPerSecond)
                              : std::string(h.State == "stopped" ? "none: the station is stopped" : "none"));
    AppendHealthRow(html, "Last archive pass (5017)", "last-pass", ArchivePassText(h));
    AppendHealthRow(html, "Registry: ArchiveSamples, ArchiveDate", "registry",
                    h.HaveRegistry
                        ? (h.ArchiveSamples >= 0 ? std::to_string(h.ArchiveSamples) : std::string("-")) +
                              ", " + Escape(h.ArchiveDate)
                        : "no values");
    AppendHealthRow(html, "Lines lost today (5301)", "losses", std::to_string(h.Losses),
                    h.Losses ? "stopped" : "");
    AppendHealthRow(html, "Over-long lines cut today (5302)", "cut-lines", std::to_string(h.CutLines));
    AppendHealthRow(html, "Samples excluded today", "excluded", std::to_string(h.Excluded));
    AppendHealthRow(html, "Reading pauses today (5109)", "reading-pauses", std::to_string(h.ReadingPauses),
                    h.ReadingPauses ? "stopped" : "");
    AppendHealthRow(html, "Error entries today", "errors", std::to_string(h.Errors),
                    h.Errors ? "stopped" : "");
    AppendHealthRow(html, "Clock", "clock", Escape(h.Clock),
                    h.Clock.compare(0, 12, "synchronised") == 0 ? "" : "stopped");
    AppendHealthRow(html, "Data directory", "data-dir", Escape(dataDirectory));
    AppendHealthRow(html, "Page time", "page-time", IsoTime(h.Now));
    html += "</table></section>\n";
}

// Links to the newest 31 days, newest first; the day shown is the current one.
void AppendDays(std::string &html, const std::vector<Millis> &days, const DayView &day) {
    html += "<nav id=\"days\">Day: ";
    size_t shown = 0;
    for (auto it = days.rbegin(); it != days.rend() && shown < 31; ++it, ++shown) {
        std::string d = DayText(*it);
        html +=
            "<a href=\"/?day=" + d + "\"" + (*it == day.Day ? " class=\"current\"" : "") + ">" + d + "</a>";
    }
    html += "</nav>\n";
}

// The day's flux charts and table.
void AppendFlux(std::string &html, const DayView &day, const std::vector<TraceSample> &trace) {
    const FluxView &flux = day.Flux;
    html += "<h2>Fluxes of " + DayText(day.Day) +
            (flux.PeriodSeconds > 0 ? " (" + PeriodName(flux.PeriodSeconds) + " periods)" : std::string()) +
            "</h2>\n";
    html += "<section id=\"flux\" data-flux-periods=\"" + std::to_string(flux.Rows.size()) +
            "\" data-flux-skipped=\"" + std::to_string(flux.SkippedLines) + "\">\n";
    for (const char *name : {"flux-ustar", "flux-heat", "flux-obukhov", "flux-speed", "flux-direction"})
        html += ChartSvg(name, day, trace) + "\n";
    html += FluxTable(flux) + "\n";
    html +=
        "<p>Each dot is one period, coloured by its quality flag: 0 good, 1 usable, 2 poor, grey none "
        "(flag_tau for u* and the wind, flag_H for H and L). H is the sonic-temperature (buoyancy) heat "
        "flux.</p></section>\n";
}

// The charts of the day's statistics periods, then the live trace's.
void AppendCharts(std::string &html, const DayView &day, const std::vector<TraceSample> &trace) {
    html += "<h2>Statistics of " + DayText(day.Day) + "</h2>\n";
    html += "<section id=\"charts\" data-day=\"" + DayText(day.Day) + "\" data-periods=\"" +
            std::to_string(day.Periods.size()) + "\" data-marks=\"" + std::to_string(day.Marks.size()) +
            "\">\n";
    for (const char *name : {"means", "temperature", "deviations", "speed", "direction", "counts"})
        html += ChartSvg(name, day, trace) + "\n";
    html +=
        "<p>Shaded: blackout windows after a clock synchronisation; red: lines or data lost. Gaps in a line "
        "are periods without a valid line.</p></section>\n";
    html +=
        "<section id=\"trace\" data-samples=\"" + std::to_string(trace.size()) + "\"><h2>Live trace</h2>\n";
    html += ChartSvg("trace-wind", day, trace) + "\n" + ChartSvg("trace-temperature", day, trace) +
            "\n</section>\n";
}

// The log tail, newest first; a folded run of routine entries is one row with its time span.
void AppendLog(std::string &html, const std::vector<LogLine> &log) {
    long folded = 0;
    for (const auto &line : log)
        folded += line.Folded > 1 ? line.Folded - 1 : 0;
    html += "<section id=\"log\" data-folded=\"" + std::to_string(folded) +
            "\"><h2>Event log</h2><div class=\"scroll\"><table>";
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        if (it->Folded > 1) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "\xE2\x80\xA6 %ld routine archive entries (%d) \xE2\x80\xA6, the last: ",
                          it->Folded, it->Entry.Code);
            html += "<tr class=\"routine\"><td>" + TimeOfDay(it->FoldedFrom, true) + "\xE2\x80\x93" +
                    TimeOfDay(it->Entry.Time, true) + "</td><td>" + std::to_string(it->Entry.Code) +
                    "</td><td>" + text + Escape(it->Entry.Message) + "</td></tr>";
            continue;
        }
        const char *rowClass = it->Error                                ? " class=\"error\""
                               : it->Severity == EventSeverity::Warning ? " class=\"warning\""
                                                                        : "";
        html += std::string("<tr") + rowClass + "><td>" + TimeOfDay(it->Entry.Time, true) + "</td><td>" +
                std::to_string(it->Entry.Code) + "</td><td>" + Escape(it->Entry.Message) + "</td></tr>";
    }
    html += "</table></div></section>\n";
}

}  // namespace

std::string PageHtml(const Health &h, const DayView &day, const std::vector<TraceSample> &trace,
                     const std::vector<LogLine> &log, const std::vector<Millis> &days, int refreshSeconds,
                     const std::string &dataDirectory) {
    std::string html;
    AppendHead(html, refreshSeconds);
    AppendHealth(html, h, dataDirectory);
    AppendDays(html, days, day);
    AppendFlux(html, day, trace);
    AppendCharts(html, day, trace);
    AppendLog(html, log);
    html += "</body></html>\n";
    return html;
}

}  // namespace monitor
