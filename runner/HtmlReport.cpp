#include "runner/HtmlReport.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "transfer/PassVerdict.h"

namespace {

std::string Fmt(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Px(double v) {
    return Fmt("%.1f", v);
}

// "3.2 MiB/s", "812 B/s"
std::string Rate(double bytesPerSecond) {
    if (bytesPerSecond >= 1024.0 * 1024)
        return Fmt("%.1f MiB/s", bytesPerSecond / (1024.0 * 1024));
    if (bytesPerSecond >= 1024)
        return Fmt("%.1f KiB/s", bytesPerSecond / 1024);
    return Fmt("%.0f B/s", bytesPerSecond);
}

// A round step for about `ticks` ticks up to `top`: 1, 2 or 5 times a power of ten.
double NiceStep(double top, int ticks) {
    if (!(top > 0))
        return 1;
    const double raw = top / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw)
            return m * power;
    return 10 * power;
}

// "0.25" for a step below 1, "2" above: as many decimals as the step needs.
std::string TickText(double v, double step) {
    const int decimals =
        step >= 1 ? 0 : std::min(6, static_cast<int>(std::ceil(-std::log10(step))));
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    return Fmt(format, v);
}

constexpr int kLeft = 56, kRight = 16, kTop = 16, kBottom = 40;

std::string SvgOpen(int width, int height, const std::string& label) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
           "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) +
           " " + std::to_string(height) + "\" role=\"img\" aria-label=\"" + HtmlEscape(label) +
           "\">\n";
}

std::string Text(double x, double y, const std::string& text, const char* anchor,
                 const char* cls = "t") {
    return "<text class=\"" + std::string(cls) + "\" x=\"" + Px(x) + "\" y=\"" + Px(y) +
           "\" text-anchor=\"" + anchor + "\">" + HtmlEscape(text) + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const char* cls) {
    return "<line class=\"" + std::string(cls) + "\" x1=\"" + Px(x1) + "\" y1=\"" + Px(y1) +
           "\" x2=\"" + Px(x2) + "\" y2=\"" + Px(y2) + "\"/>\n";
}

const char* kStyle = R"(
body { font-family: sans-serif; margin: 24px; color: #1d2330; background: #fff; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 28px 0 8px; border-bottom: 1px solid #d6dae3; padding-bottom: 4px; }
h3 { font-size: 14px; margin: 12px 0 4px; color: #49516a; }
table { border-collapse: collapse; margin: 8px 0; font-size: 13px; }
th, td { border: 1px solid #d6dae3; padding: 4px 10px; text-align: left; vertical-align: top; }
th { background: #f1f3f7; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
.pass { color: #fff; background: #2e7d32; padding: 1px 8px; border-radius: 3px; }
.fail { color: #fff; background: #c62828; padding: 1px 8px; border-radius: 3px; }
.muted { color: #6b7286; font-size: 13px; }
.charts { display: flex; flex-wrap: wrap; gap: 24px; }
svg { background: #fafbfd; border: 1px solid #e1e4ea; }
svg .t { font: 11px sans-serif; fill: #49516a; }
svg .v { font: 10px sans-serif; fill: #1d2330; }
svg .axis { stroke: #49516a; stroke-width: 1; }
svg .grid { stroke: #e1e4ea; stroke-width: 1; }
svg .mark { stroke: #c62828; stroke-width: 1; stroke-dasharray: 4 3; }
svg .curve { fill: none; stroke: #1565c0; stroke-width: 2; }
svg .bar { fill: #1565c0; }
td.cell-pass { background: #e8f5e9; }
td.cell-fail { background: #ffebee; }
td.cell-none { background: #f1f3f7; color: #6b7286; }
)";

std::string Badge(bool pass, const std::string& word) {
    return std::string("<span class=\"") + (pass ? "pass" : "fail") + "\">" + HtmlEscape(word) +
           "</span>";
}

std::string Row(const std::string& name, const std::string& value) {
    return "<tr><th>" + HtmlEscape(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
}

std::string RunsTable(const SessionReport& r) {
    std::string h;
    h += "<table>\n<tr><th>run</th><th>direction</th><th>verdict</th>"
         "<th>result</th><th>throughput</th><th>seconds</th></tr>\n";
    for (const RunReport& run : r.runs) {
        const bool pass = RunExitCode(run) == EXIT_VERIFIED;
        const std::string message =
            run.latency ? LatencyMessage(*run.latency) : RunMessage(run.outcome);
        const double rate = run.latency ? run.latency->bytesPerSecond : run.outcome.bytesPerSecond;
        const double seconds = run.latency ? run.latency->seconds : run.outcome.seconds;
        h += "<tr><td class=\"n\">" + std::to_string(run.number) + "</td><td>" +
             DirectionName(run.latency ? run.latency->direction : run.outcome.direction) +
             "</td><td>" + Badge(pass, pass ? "passed" : "failed") + "</td><td>" +
             HtmlEscape(message) + "</td><td class=\"n\">" + Rate(rate) + "</td><td class=\"n\">" +
             Fmt("%.3f", seconds) + "</td></tr>\n";
    }
    h += "</table>\n";
    return h;
}

std::string LatencySection(const RunReport& run, int plannedRuns) {
    const LatencyFigures& f = *run.latency;
    std::string h;
    h += "<table>\n<tr><th>frames</th><th>received</th><th>lost</th><th>duplicated</th>"
         "<th>reordered</th><th>corrupted</th><th>p50 ms</th><th>p90 ms</th><th>p99 ms</th>"
         "<th>max ms</th><th>reads</th><th>read gap p50 ms</th><th>read gap max ms</th></tr>\n";
    h += "<tr>";
    for (int v : {f.planned, f.received, f.lost, f.duplicated, f.reordered, f.corrupted})
        h += "<td class=\"n\">" + std::to_string(v) + "</td>";
    for (double v : {f.latency.p50, f.latency.p90, f.latency.p99, f.latency.max})
        h += "<td class=\"n\">" + Fmt("%.3f", v) + "</td>";
    h += "<td class=\"n\">" + std::to_string(f.reads) + "</td><td class=\"n\">" +
         Fmt("%.3f", f.gap.p50) + "</td><td class=\"n\">" + Fmt("%.3f", f.gap.max) + "</td>";
    h += "</tr>\n</table>\n";
    if (const std::string problems = LatencyProblems(f); !problems.empty())
        h += "<p>" + HtmlEscape(problems) + "</p>\n";
    (void)plannedRuns;
    h += "<div class=\"charts\">\n<div><h3>One-way latency, cumulative</h3>\n" +
         LatencyCdfSvg(f.latenciesMs, 520, 260) + "</div>\n";
    h += "<div><h3>Read sizes on the receiving link</h3>\n" + ReadSizeSvg(f.readSizes, 520, 260) +
         "</div>\n</div>\n";
    return h;
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
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
                out += c;
        }
    }
    return out;
}

std::string LatencyCdfSvg(const std::vector<double>& sortedMs, int width, int height) {
    std::string s = SvgOpen(width, height, "one-way latency, cumulative distribution");
    const double plotW = width - kLeft - kRight, plotH = height - kTop - kBottom;
    const double x0 = kLeft, y0 = kTop + plotH;
    if (sortedMs.empty()) {
        s += Text(width / 2.0, height / 2.0, "no frame arrived", "middle");
        return s + "</svg>\n";
    }
    const double top = std::max(sortedMs.back(), 0.001);
    const double step = NiceStep(top, 5);
    const double xMax = std::ceil(top / step) * step;
    auto X = [&](double ms) { return x0 + ms / xMax * plotW; };
    auto Y = [&](double share) { return y0 - share * plotH; };
    for (int q = 0; q <= 4; ++q) {
        const double share = q / 4.0;
        s += Line(x0, Y(share), x0 + plotW, Y(share), "grid");
        s += Text(x0 - 6, Y(share) + 4, std::to_string(q * 25) + "%", "end");
    }
    for (double v = 0; v <= xMax + step / 2; v += step) {
        s += Line(X(v), y0, X(v), y0 + 4, "axis");
        s += Text(X(v), y0 + 16, TickText(v, step), "middle");
    }
    s += Text(x0 + plotW / 2, height - 6.0, "milliseconds", "middle");
    // A step curve through at most ~600 points: every k-th sample, the last one always.
    const size_t n = sortedMs.size();
    const size_t every = std::max<size_t>(1, n / 600);
    std::string points = Px(X(sortedMs[0])) + "," + Px(Y(0));
    for (size_t i = 0; i < n; i += every) {
        const size_t at = std::min(n - 1, i + every - 1);
        points += " " + Px(X(sortedMs[at])) + "," + Px(Y(static_cast<double>(at + 1) / n));
    }
    s += "<polyline class=\"curve\" points=\"" + points + "\"/>\n";
    const Percentiles p = PercentilesOf(sortedMs);
    for (const auto& [label, value] : {std::pair{"p50", p.p50}, std::pair{"p99", p.p99}}) {
        s += Line(X(value), kTop, X(value), y0, "mark");
        // Labels near the right edge go on the line's left.
        const bool right = X(value) > x0 + plotW * 0.75;
        s += Text(X(value) + (right ? -3 : 3), kTop + (label[1] == '5' ? 10.0 : 22.0),
                  std::string(label) + " " + Fmt("%.3f", value), right ? "end" : "start", "v");
    }
    s += Line(x0, kTop, x0, y0, "axis") + Line(x0, y0, x0 + plotW, y0, "axis");
    return s + "</svg>\n";
}

std::string ReadSizeSvg(const std::map<size_t, uint64_t>& sizes, int width, int height) {
    std::string s = SvgOpen(width, height, "sizes of the reads on the receiving link");
    const double plotW = width - kLeft - kRight, plotH = height - kTop - kBottom;
    const double x0 = kLeft, y0 = kTop + plotH;
    if (sizes.empty()) {
        s += Text(width / 2.0, height / 2.0, "nothing was read", "middle");
        return s + "</svg>\n";
    }
    // A bar per size, or per power-of-two range when there are too many sizes.
    std::vector<std::pair<std::string, uint64_t>> bars;
    if (sizes.size() <= 24) {
        for (const auto& [bytes, count] : sizes)
            bars.emplace_back(std::to_string(bytes), count);
    } else {
        std::map<int, uint64_t> ranges;
        for (const auto& [bytes, count] : sizes) {
            int bit = 0;
            while ((size_t{2} << bit) <= bytes)
                ++bit;
            ranges[bit] += count;
        }
        for (const auto& [bit, count] : ranges) {
            const size_t low = size_t{1} << bit, high = (size_t{2} << bit) - 1;
            bars.emplace_back(low == high ? std::to_string(low)
                                          : std::to_string(low) + "-" + std::to_string(high),
                              count);
        }
    }
    uint64_t most = 0;
    for (const auto& bar : bars)
        most = std::max(most, bar.second);
    // Whole-number ticks up to a round top at or above the largest count.
    const double step = std::max(1.0, NiceStep(static_cast<double>(most), 4));
    const double top = std::ceil(static_cast<double>(most) / step) * step;
    for (double v = 0; v <= top + step / 2; v += step) {
        const double y = y0 - v / top * plotH;
        s += Line(x0, y, x0 + plotW, y, "grid");
        s += Text(x0 - 6, y + 4, Fmt("%.0f", v), "end");
    }
    const double slot = plotW / static_cast<double>(bars.size());
    const double barW = std::max(2.0, slot * 0.7);
    for (size_t i = 0; i < bars.size(); ++i) {
        // A single read still shows: at least 2 px.
        const double h = std::max(2.0, static_cast<double>(bars[i].second) / top * plotH);
        const double cx = x0 + slot * (static_cast<double>(i) + 0.5);
        s += "<rect class=\"bar\" x=\"" + Px(cx - barW / 2) + "\" y=\"" + Px(y0 - h) +
             "\" width=\"" + Px(barW) + "\" height=\"" + Px(h) + "\"><title>" +
             HtmlEscape(bars[i].first) + " bytes: " + std::to_string(bars[i].second) +
             " reads</title></rect>\n";
        s += Text(cx, y0 - h - 3, std::to_string(bars[i].second), "middle", "v");
        s += Text(cx, y0 + 14, bars[i].first, "middle");
    }
    s += Text(x0 + plotW / 2, height - 6.0, "bytes per read", "middle");
    s += Line(x0, kTop, x0, y0, "axis") + Line(x0, y0, x0 + plotW, y0, "axis");
    return s + "</svg>\n";
}

std::string HtmlReport(const SessionReport& r) {
    const RunnerOptions& o = r.options;
    const bool latency = o.test == RunnerOptions::Test::Latency;
    const int code = SessionExitCode(r);
    std::string h =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>vaskel-passthrough report</title>\n<style>";
    h += kStyle;
    h += "</style>\n</head>\n<body>\n<h1>vaskel-passthrough: " +
         std::string(latency ? "latency" : "pass-through") + " " +
         Badge(code == EXIT_VERIFIED, code == EXIT_VERIFIED ? "passed" : "failed") + "</h1>\n";
    h += "<p class=\"muted\">" +
         HtmlEscape(QDateTime::currentDateTime().toString(Qt::ISODate).toStdString()) +
         ", exit code " + std::to_string(code) + "</p>\n<table>\n";
    h += Row("serial", o.serial + ", " + std::to_string(o.settings.baud) + " baud, " +
                           std::to_string(o.settings.dataBits) + " data bits, parity " +
                           ParityWord(o.settings.parity) + ", " +
                           (o.settings.stopBits == StopBits::Two ? "2" : "1") +
                           " stop bits, flow " + FlowWord(o.settings.flow));
    h += Row("network", o.net == RunnerOptions::Net::Connect
                            ? "connect to " + o.host + ":" + std::to_string(o.port)
                            : "listen on port " + std::to_string(o.port));
    if (latency)
        h += Row("frames",
                 std::to_string(o.frames) + " frames of " + std::to_string(o.frameSize) +
                     " bytes, one every " + std::to_string(o.intervalMs) + " ms" +
                     (o.maxLatencyMs >= 0 ? ", p99 limit " + Fmt("%g", o.maxLatencyMs) + " ms"
                                          : std::string()));
    else
        h += Row("data", r.source + ", " + std::to_string(r.bytes) + " bytes");
    h += Row("runs", std::to_string(r.runs.size()) + " of " + std::to_string(r.plannedRuns));
    h += "</table>\n";
    if (r.error)
        h += "<h2>Session failed</h2>\n<p>" + Badge(false, r.error->text) + "</p>\n<p>" +
             HtmlEscape(r.error->detail) + "</p>\n";

    h += "<h2>Runs</h2>\n" + RunsTable(r);
    for (const RunReport& run : r.runs) {
        if (!run.latency)
            continue;
        h += "<h2>Run " + std::to_string(run.number) + ": " +
             DirectionName(run.latency->direction) + "</h2>\n" + LatencySection(run, r.plannedRuns);
    }
    h += "</body>\n</html>\n";
    return h;
}

std::string RackHtmlReport(const std::vector<StationResult>& stations, int exitCode,
                           bool interrupted) {
    std::vector<std::string> labels;
    for (const StationResult& st : stations)
        for (const StationResult::Part& p : st.parts)
            if (std::find(labels.begin(), labels.end(), p.label) == labels.end())
                labels.push_back(p.label);
    int passed = 0;
    for (const StationResult& st : stations)
        passed += st.exitCode == EXIT_VERIFIED && !st.parts.empty();
    std::string h =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>vaskel-passthrough rack report</title>\n<style>";
    h += kStyle;
    h += "</style>\n</head>\n<body>\n<h1>vaskel-passthrough: rack of " +
         std::to_string(stations.size()) + " stations " +
         Badge(exitCode == EXIT_VERIFIED, interrupted                 ? "interrupted"
                                          : exitCode == EXIT_VERIFIED ? "passed"
                                                                      : "failed") +
         "</h1>\n";
    h += "<p class=\"muted\">" +
         HtmlEscape(QDateTime::currentDateTime().toString(Qt::ISODate).toStdString()) + ", " +
         std::to_string(passed) + " of " + std::to_string(stations.size()) +
         " stations passed, exit code " + std::to_string(exitCode) + "</p>\n";
    // The rack at a glance: a row a station, a column a setting.
    h += "<h2>Stations and settings</h2>\n<table>\n<tr><th>station</th><th>serial</th>";
    for (const std::string& l : labels)
        h += "<th>" + HtmlEscape(l) + "</th>";
    h += "<th>exit code</th></tr>\n";
    for (const StationResult& st : stations) {
        h += "<tr><th>" + HtmlEscape(st.station.name) + "</th><td>" +
             HtmlEscape(st.station.serial) + "</td>";
        for (const std::string& l : labels) {
            const auto part =
                std::find_if(st.parts.begin(), st.parts.end(),
                             [&](const StationResult::Part& p) { return p.label == l; });
            if (part == st.parts.end()) {
                h += "<td class=\"cell-none\">not run</td>";
                continue;
            }
            const bool pass = part->exitCode == EXIT_VERIFIED;
            std::string title;
            if (part->report.error)
                title = part->report.error->text + ": " + part->report.error->detail;
            for (const RunReport& run : part->report.runs)
                title += (title.empty() ? "" : "\n") + SummaryLine(run, part->report.plannedRuns);
            const std::string word = part->report.interrupted ? "interrupted"
                                     : pass                   ? "passed"
                                            : "failed (" + std::to_string(part->exitCode) + ")";
            h += std::string("<td class=\"") + (pass ? "cell-pass" : "cell-fail") + "\" title=\"" +
                 HtmlEscape(title) + "\">" + Badge(pass, word) + "</td>";
        }
        h += "<td class=\"n\">" + std::to_string(st.exitCode) + "</td></tr>\n";
    }
    h += "</table>\n";
    for (const StationResult& st : stations) {
        h += "<h2>" + HtmlEscape(st.station.name) + "</h2>\n";
        for (const StationResult::Part& p : st.parts) {
            h += "<h3>" + HtmlEscape(p.label) + "</h3>\n";
            if (p.report.error)
                h += "<p>" + Badge(false, p.report.error->text) + " " +
                     HtmlEscape(p.report.error->detail) + "</p>\n";
            if (!p.report.runs.empty())
                h += RunsTable(p.report);
        }
    }
    h += "</body>\n</html>\n";
    return h;
}
