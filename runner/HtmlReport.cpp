#include "runner/HtmlReport.h"

#include <QDateTime>

#include <algorithm>

#include "runner/Charts.h"
#include "runner/Report.h"
#include "runner/TestKind.h"
#include "transfer/PassVerdict.h"

namespace {

using State = ReportCase::State;

// "3.2 MiB/s", "812 B/s"
std::string Rate(double bytesPerSecond) {
    if (bytesPerSecond >= 1024.0 * 1024)
        return Fmt("%.1f MiB/s", bytesPerSecond / (1024.0 * 1024));
    if (bytesPerSecond >= 1024)
        return Fmt("%.1f KiB/s", bytesPerSecond / 1024);
    return Fmt("%.0f B/s", bytesPerSecond);
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
.why { color: #c62828; }
td.cell-none { background: #f1f3f7; color: #6b7286; }
)";

std::string Badge(bool pass, const std::string& word) {
    return std::string("<span class=\"") + (pass ? "pass" : "fail") + "\">" + HtmlEscape(word) +
           "</span>";
}

std::string Row(const std::string& name, const std::string& value) {
    return "<tr><th>" + HtmlEscape(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
}

std::string StateWord(const ReportCase& c) {
    switch (c.state) {
        case State::Passed:
            return "passed";
        case State::Interrupted:
            return "interrupted";
        case State::Skipped:
            return "not reached";
        case State::Error:
            return "error";
        case State::Failed:
            break;
    }
    return "failed";
}

// Every verdict of the session: a row each, a failed one with what failed and why.
std::string CasesTable(const SessionReport& r) {
    std::string h;
    h += "<table>\n<tr><th>case</th><th>verdict</th><th>result</th><th>why</th>"
         "<th>throughput</th><th>seconds</th></tr>\n";
    for (const ReportCase& c : SessionCases(r, "")) {
        const bool pass = c.state == State::Passed;
        h += "<tr><td>" + HtmlEscape(c.name) + "</td><td>" + Badge(pass, StateWord(c)) +
             "</td><td>" + HtmlEscape(c.message) + "</td><td class=\"why\">" +
             HtmlEscape(pass                 ? std::string()
                        : c.why == c.message ? c.detail
                                             : c.why) +
             "</td><td class=\"n\">" +
             (c.run && c.bytesPerSecond >= 0 ? Rate(c.bytesPerSecond) : std::string()) +
             "</td><td class=\"n\">" + (c.run ? Fmt("%.3f", c.seconds) : std::string()) +
             "</td></tr>\n";
    }
    h += "</table>\n";
    return h;
}

// With --udp: a row a run (and one for a script), the datagrams the device server sent by
// size, those sent to it, and what a failed run's datagrams show.
std::string DatagramsTable(const SessionReport& r) {
    std::vector<std::pair<std::string, const DatagramReport*>> rows;
    for (const RunReport& run : r.runs)
        if (run.datagrams)
            rows.emplace_back(
                "run " + std::to_string(run.number) + " " + DirectionName(run.Direction()),
                &*run.datagrams);
    if (r.scriptDatagrams)
        rows.emplace_back("script", &*r.scriptDatagrams);
    if (rows.empty())
        return {};
    std::string h = "<h2>UDP datagrams</h2>\n<table>\n<tr><th>case</th><th>received</th>";
    for (int k = 0; k < DatagramSizes::kBuckets; ++k)
        h += "<th>" + std::string(DatagramSizes::BucketName(k)) + " B</th>";
    h += "<th>sent</th><th>finding</th></tr>\n";
    for (const auto& [name, d] : rows) {
        h += "<tr><td>" + HtmlEscape(name) + "</td><td class=\"n\">" +
             std::to_string(d->received.count) + "</td>";
        for (int64_t n : d->received.buckets)
            h += "<td class=\"n\">" + std::to_string(n) + "</td>";
        h += "<td class=\"n\">" + std::to_string(d->sent.count) + "</td><td class=\"why\">" +
             HtmlEscape(d->finding.empty() ? d->notDiagnosed : d->finding) + "</td></tr>\n";
    }
    return h + "</table>\n";
}

std::string Head(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
           HtmlEscape(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
}

std::string Now() {
    return HtmlEscape(QDateTime::currentDateTime().toString(Qt::ISODate).toStdString());
}

std::string Verdict(int code, bool interrupted) {
    return Badge(code == EXIT_VERIFIED, interrupted             ? "interrupted"
                                        : code == EXIT_VERIFIED ? "passed"
                                                                : "failed");
}

std::string SerialText(const RunnerOptions& o) {
    return o.serial + ", " + std::to_string(o.settings.baud) + " baud, " +
           std::to_string(o.settings.dataBits) + " data bits, parity " +
           ParityWord(o.settings.parity) + ", " +
           (o.settings.stopBits == StopBits::Two ? "2" : "1") + " stop " +
           (o.settings.stopBits == StopBits::Two ? "bits" : "bit") + ", flow " +
           FlowWord(o.settings.flow);
}

}  // namespace

std::string HtmlReport(const SessionReport& r) {
    const RunnerOptions& o = r.options;
    const TestKind& kind = KindOf(o.test);
    const int code = SessionExitCode(r);
    std::string h = Head("vaskel-passthrough report");
    h += "<h1>vaskel-passthrough: " + std::string(kind.Title()) + " " +
         Verdict(code, r.interrupted) + "</h1>\n";
    h += "<p class=\"muted\">" + Now() + ", exit code " + std::to_string(code) + "</p>\n<table>\n";
    h += Row("serial", SerialText(o));
    if (o.link.udp)
        h += Row("network", UdpLinkLine(r).substr(std::string("udp: ").size()));
    else
        h += Row("network",
                 o.link.mode == RunnerOptions::Net::Connect
                     ? "connect to " + o.link.host + ":" + std::to_string(o.link.port) +
                           (o.link.hostName.empty() || o.link.hostName == o.link.host
                                ? std::string()
                                : " (" + o.link.hostName + ")")
                     : "listen on port " + std::to_string(o.link.port) +
                           (o.link.acceptAgain ? ", accepting the device again after a drop" : ""));
    if (o.link.clients > 1)
        h += Row("clients", std::to_string(o.link.clients) +
                                " TCP clients on the port at once, each verified on its own");
    for (const RunReport& run : r.runs)
        if (!run.drops.empty())
            h += Row("link drops", "run " + std::to_string(run.number) + ": " + LinkDropsText(run));
    for (const auto& [name, value] : kind.HtmlRows(r))
        h += Row(name, value);
    // The tests that make no runs (control lines, a script) report their own checks below.
    if (r.plannedRuns > 0)
        h += Row("runs", std::to_string(r.runs.size()) + " of " + std::to_string(r.plannedRuns));
    h += "</table>\n";
    if (r.error)
        h += "<h2>Session failed</h2>\n<p>" + Badge(false, r.error->text) + "</p>\n<p>" +
             HtmlEscape(r.error->detail) + "</p>\n";
    if (r.interrupted)
        h +=
            "<p>" + Badge(false, "interrupted") +
            " SIGINT or SIGTERM ended the test; the runs below are what it found until then.</p>\n";
    h += "<h2>Results</h2>\n" + CasesTable(r);
    h += DatagramsTable(r);
    h += kind.HtmlDetails(r);
    h += "</body>\n</html>\n";
    return h;
}

std::string RackHtmlReport(const std::vector<StationResult>& stations, int exitCode,
                           bool interrupted, bool lone) {
    std::vector<std::string> labels;
    for (const StationResult& st : stations)
        for (const StationResult::Part& p : st.parts)
            if (std::find(labels.begin(), labels.end(), p.label) == labels.end())
                labels.push_back(p.label);
    int passed = 0;
    for (const StationResult& st : stations)
        passed += st.exitCode == EXIT_VERIFIED && !st.parts.empty();
    const auto count = [](size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    const std::string what = lone ? stations.front().station.serial + ": sweep of " +
                                        count(labels.size(), "setting", "settings")
                                  : "rack of " + count(stations.size(), "station", "stations");
    std::string h = Head("vaskel-passthrough " + std::string(lone ? "sweep" : "rack") + " report");
    h += "<h1>vaskel-passthrough: " + HtmlEscape(what) + " " + Verdict(exitCode, interrupted) +
         "</h1>\n";
    h += "<p class=\"muted\">" + Now() + ", ";
    if (!lone)
        h += std::to_string(passed) + " of " + count(stations.size(), "station", "stations") +
             " passed, ";
    h += "exit code " + std::to_string(exitCode) + "</p>\n";
    // At a glance: a row a station, a column a setting.
    h += std::string("<h2>") + (lone ? "Settings" : "Stations and settings") +
         "</h2>\n<table>\n<tr><th>station</th><th>serial</th>";
    for (const std::string& l : labels)
        h += "<th>" + HtmlEscape(l) + "</th>";
    h += "<th>exit code</th></tr>\n";
    const auto name = [lone](const StationResult& st) {
        return lone || st.station.name.empty() ? st.station.serial : st.station.name;
    };
    for (const StationResult& st : stations) {
        h += "<tr><th>" + HtmlEscape(name(st)) + "</th><td>" + HtmlEscape(st.station.serial) +
             "</td>";
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
            for (const ReportCase& c : SessionCases(part->report, ""))
                if (c.state != State::Passed)
                    title += (title.empty() ? "" : "\n") + c.name + ": " + CaseFailureText(c);
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
        h += "<h2>" + HtmlEscape(name(st)) + "</h2>\n";
        if (st.parts.empty() && st.exitCode != EXIT_VERIFIED)
            h += "<p>" + Badge(false, "not started") + "</p>\n";
        for (const StationResult::Part& p : st.parts) {
            h += "<h3>" + HtmlEscape(p.label) + "</h3>\n";
            if (p.report.error)
                h += "<p>" + Badge(false, p.report.error->text) + " " +
                     HtmlEscape(p.report.error->detail) + "</p>\n";
            h += CasesTable(p.report);
            h += DatagramsTable(p.report);
            h += KindOf(p.report.options.test).HtmlDetails(p.report);
        }
    }
    h += "</body>\n</html>\n";
    return h;
}
