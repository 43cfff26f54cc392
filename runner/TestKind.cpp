#include "runner/TestKind.h"

#include <QJsonArray>

#include <cstdio>
#include <functional>

#include "runner/Charts.h"
#include "runner/ScriptReport.h"
#include "transfer/PassVerdict.h"

namespace {

using End = PassOutcome::End;
using State = ReportCase::State;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

// The capture's link: a serial-to-net run captures on the network link.
std::string CaptureLinkTimeout(const PassOutcome& out) {
    return out.direction == PassDirection::SerialToNet ? "Network Timeout" : "Serial Timeout";
}

std::string ShortText(const PassOutcome& out) {
    return "short capture, " + std::to_string(out.stored) + " of " + std::to_string(out.sent) +
           " bytes stored";
}

// A JSON object's figures as flat name/value pairs: "frames.lost" = "0", "reads.sizes" =
// "16:998 32:1".
void Flatten(const QString& name, const QJsonValue& v,
             std::vector<std::pair<std::string, std::string>>& out) {
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            Flatten(name.isEmpty() ? it.key() : name + "." + it.key(), it.value(), out);
    } else if (v.isArray()) {
        QStringList parts;
        for (const QJsonValue& e : v.toArray())
            parts << QString("%1:%2")
                         .arg(e.toObject()["bytes"].toInteger())
                         .arg(e.toObject()["count"].toInteger());
        out.emplace_back(name.toStdString(), parts.join(' ').toStdString());
    } else if (!v.isNull()) {
        out.emplace_back(name.toStdString(),
                         v.isDouble() ? QString::number(v.toDouble(), 'g', 10).toStdString()
                                      : v.toVariant().toString().toStdString());
    }
}

class PassthroughKind : public TestKind {
public:
    const char* Name() const override { return "passthrough"; }
    const char* Title() const override { return "pass-through"; }
    int RunExitCode(const RunReport& run) const override { return ::RunExitCode(run.outcome); }
    std::string RunMessage(const RunReport& run) const override {
        std::string text = ::RunMessage(run.outcome);
        if (run.outcome.Verified())
            text += " in " + Seconds(run.outcome.seconds) + " s";
        return text;
    }
    std::vector<std::string> RunNotes(const RunReport& run) const override {
        if (const std::string d = DiagnosisLine(run.outcome); !d.empty())
            return {d};
        return {};
    }
    ReportCase RunCase(const RunReport& run) const override {
        const PassOutcome& out = run.outcome;
        ReportCase c;
        c.state = out.Verified() ? State::Passed : State::Failed;
        c.seconds = out.seconds;
        c.word = RunResultWord(out);
        c.message = ::RunMessage(out);
        if (!out.Verified()) {
            const std::string d = DiagnosisLine(out);
            c.why = d.empty() ? c.message : c.message + "; " + d;
        }
        c.detail = out.detail;
        c.bytesPerSecond = out.bytesPerSecond;
        return c;
    }
    QJsonObject RunJson(const RunReport& run) const override {
        const PassOutcome& out = run.outcome;
        QJsonObject j{
            {"direction", DirectionName(out.direction)},
            {"result", Q(RunResultWord(out))},
            {"message", Q(::RunMessage(out))},
            {"exit_code", ::RunExitCode(out)},
            {"bytes_announced",
             out.announced >= 0 ? QJsonValue(static_cast<qint64>(out.announced)) : QJsonValue()},
            {"bytes_stored", static_cast<qint64>(out.stored)},
            {"first_mismatch", out.firstMismatch
                                   ? QJsonValue(static_cast<qint64>(*out.firstMismatch))
                                   : QJsonValue()},
            {"seconds", out.seconds},
            {"bytes_per_second", out.bytesPerSecond},
        };
        if (!out.diagnosis.empty())
            j["diagnosis"] = Q(out.diagnosis);
        return j;
    }
    QJsonValue DataJson(const SessionReport& r) const override {
        QJsonObject data{{"path", Q(r.source)}, {"bytes", static_cast<qint64>(r.bytes)}};
        if (r.options.data.randomSize > 0) {
            data["source"] = "random";
            data["seed"] = static_cast<qint64>(r.options.data.seed);
        } else {
            data["source"] = "file";
        }
        return data;
    }
    std::vector<std::pair<std::string, std::string>> HtmlRows(
        const SessionReport& r) const override {
        return {{"data", r.source + ", " + CountOf(r.bytes, "byte", "bytes")}};
    }
};

class LatencyKind : public TestKind {
public:
    const char* Name() const override { return "latency"; }
    const char* Title() const override { return "latency"; }
    int RunExitCode(const RunReport& run) const override { return LatencyExitCode(*run.latency); }
    std::string RunMessage(const RunReport& run) const override {
        return LatencyMessage(*run.latency);
    }
    std::vector<std::string> RunNotes(const RunReport& run) const override {
        std::vector<std::string> notes;
        if (const std::string w = LatencyWaitingText(*run.latency); !w.empty())
            notes.push_back(w);
        if (const std::string p = LatencyProblems(*run.latency); !p.empty())
            notes.push_back(p);
        return notes;
    }
    std::vector<std::string> SessionLines(const SessionReport& r) const override {
        if (r.floor)
            return {LatencyFloorText(*r.floor)};
        return {};
    }
    ReportCase RunCase(const RunReport& run) const override {
        const LatencyFigures& f = *run.latency;
        ReportCase c;
        c.state = LatencyExitCode(f) == 0 ? State::Passed : State::Failed;
        c.seconds = f.seconds;
        c.word = LatencyResultWord(f);
        c.message = LatencyMessage(f);
        if (c.state != State::Passed) {
            const std::string problems = LatencyProblems(f);
            c.why = problems.empty() ? c.message : problems;
        }
        c.bytesPerSecond = f.bytesPerSecond;
        const QJsonObject figures = LatencyJson(f);
        for (auto it = figures.begin(); it != figures.end(); ++it)
            if (it.key() != "message" && it.key() != "problems")
                Flatten(it.key(), it.value(), c.properties);
        return c;
    }
    QJsonObject RunJson(const RunReport& run) const override { return LatencyJson(*run.latency); }
    QJsonValue DataJson(const SessionReport& r) const override {
        const RunnerOptions& o = r.options;
        return QJsonObject{{"source", "frames"},
                           {"frames", o.latency.frames},
                           {"frame_size", o.latency.frameSize},
                           {"interval_ms", o.latency.intervalMs}};
    }
    std::vector<std::pair<std::string, std::string>> HtmlRows(
        const SessionReport& r) const override {
        const RunnerOptions& o = r.options;
        return {{"frames", CountOf(o.latency.frames, "frame", "frames") + " of " +
                               std::to_string(o.latency.frameSize) + " bytes, one every " +
                               std::to_string(o.latency.intervalMs) + " ms" +
                               (o.latency.maxLatencyMs >= 0
                                    ? ", p99 limit " + Fmt("%g", o.latency.maxLatencyMs) + " ms"
                                    : std::string())},
                // The tester's own figures, beside the device's.
                {"runner floor",
                 r.floor ? LatencyFloorText(*r.floor).substr(std::string("runner floor: ").size())
                         : std::string("not measured")}};
    }
    std::string HtmlDetails(const SessionReport& r) const override {
        std::string h;
        for (const RunReport& run : r.runs) {
            if (!run.latency)
                continue;
            const LatencyFigures& f = *run.latency;
            h += "<h2>Run " + std::to_string(run.number) + ": " + DirectionName(f.direction) +
                 (run.interrupted ? " (interrupted)" : "") + "</h2>\n";
            h += "<table>\n<tr><th>frames</th><th>received</th><th>lost</th><th>duplicated</th>"
                 "<th>reordered</th><th>corrupted</th><th>stray bytes</th><th>p50 ms</th>"
                 "<th>p90 ms</th>"
                 "<th>p99 ms</th><th>max ms</th><th>reads</th><th>read gap p50 ms</th>"
                 "<th>read gap max ms</th></tr>\n<tr>";
            for (int64_t v :
                 {int64_t{f.planned}, int64_t{f.received}, int64_t{f.lost}, int64_t{f.duplicated},
                  int64_t{f.reordered}, int64_t{f.corrupted}, f.strayBytes})
                h += "<td class=\"n\">" + std::to_string(v) + "</td>";
            for (double v : {f.latency.p50, f.latency.p90, f.latency.p99, f.latency.max})
                h += "<td class=\"n\">" + Fmt("%.3f", v) + "</td>";
            h += "<td class=\"n\">" + std::to_string(f.reads) + "</td><td class=\"n\">" +
                 Fmt("%.3f", f.gap.p50) + "</td><td class=\"n\">" + Fmt("%.3f", f.gap.max) +
                 "</td></tr>\n</table>\n";
            if (const std::string waiting = LatencyWaitingText(f); !waiting.empty())
                h += "<p>" + HtmlEscape(waiting) + "</p>\n";
            if (const std::string problems = LatencyProblems(f); !problems.empty())
                h += "<p class=\"why\">" + HtmlEscape(problems) + "</p>\n";
            h += "<div class=\"charts\">\n<div><h3>One-way latency, cumulative</h3>\n" +
                 LatencyCdfSvg(f.latenciesMs, 520, 260) + "</div>\n";
            h += "<div><h3>Read sizes on the receiving link</h3>\n" +
                 ReadSizeSvg(f.readSizes, 520, 260) + "</div>\n</div>\n";
        }
        return h;
    }
};

// A test that makes no runs (control lines, a script, reconnect cycles): its verdicts are
// session cases of its own, and every run hook tells nothing.
class NoRunsKind : public TestKind {
public:
    int RunExitCode(const RunReport&) const override { return 0; }
    std::string RunMessage(const RunReport&) const override { return {}; }
    std::vector<std::string> RunNotes(const RunReport&) const override { return {}; }
    ReportCase RunCase(const RunReport&) const override { return {}; }
    QJsonObject RunJson(const RunReport&) const override { return {}; }
};

class LinesKind : public NoRunsKind {
public:
    const char* Name() const override { return "lines"; }
    const char* Title() const override { return "control lines"; }
    std::vector<ReportCase> SessionCases(const SessionReport& r) const override {
        std::vector<ReportCase> cases;
        if (!r.lines)
            return cases;
        for (const LineFollowReport& l : r.lines->lines) {
            ReportCase c;
            c.name = "lines " + std::string(l.remote ? "remote " : "") + l.driven;
            c.state = l.Ok() ? State::Passed : State::Failed;
            c.word = l.Ok() ? "followed" : "lines";
            c.message = l.Summary();
            if (!l.Ok())
                c.why = l.Summary();
            cases.push_back(std::move(c));
        }
        return cases;
    }
    std::vector<std::string> SessionLines(const SessionReport& r) const override {
        std::vector<std::string> lines;
        if (r.lines)
            for (const LineFollowReport& l : r.lines->lines)
                lines.push_back("lines: " + l.Summary());
        return lines;
    }
    int SessionCode(const SessionReport& r) const override {
        return r.lines && !r.lines->Ok() ? 1 : 0;
    }
    QJsonValue DataJson(const SessionReport&) const override { return QJsonValue(); }
    std::vector<std::pair<std::string, std::string>> HtmlRows(
        const SessionReport& r) const override {
        return {{"lines", "DTR and RTS changed " + CountOf(r.options.toggles, "time", "times") +
                              " each, on both sides"}};
    }
};

// A script of sends and expectations: its verdicts are its lines', not runs.
class ScriptKind : public NoRunsKind {
public:
    const char* Name() const override { return "script"; }
    const char* Title() const override { return "script"; }
    std::vector<ReportCase> SessionCases(const SessionReport& r) const override {
        return ScriptCases(r);
    }
    std::vector<std::string> SessionLines(const SessionReport& r) const override {
        return ScriptLines(r);
    }
    int SessionCode(const SessionReport& r) const override {
        return r.script && r.script->state == ScriptOutcome::State::Unmet ? 1 : 0;
    }
    QJsonObject SessionJsonLine(const SessionReport& r) const override {
        if (!r.script)
            return {};
        QJsonObject j = ScriptJson(r);
        j["test"] = Name();
        return j;
    }
    QJsonValue DataJson(const SessionReport& r) const override {
        return QJsonObject{{"source", "script"}, {"path", Q(r.options.scriptPath)}};
    }
    std::vector<std::pair<std::string, std::string>> HtmlRows(
        const SessionReport& r) const override {
        std::string text = r.options.scriptPath;
        if (const Script* s = r.options.script.get())
            text += ", " + CountOf(ScriptPlannedSteps(s->steps), "step", "steps") + " to run, " +
                    CountOf(static_cast<int64_t>(s->responders.size()), "responder", "responders");
        return {{"script", text}};
    }
    std::string HtmlDetails(const SessionReport& r) const override { return ScriptHtml(r); }
};

// The link closed and made again, cycle after cycle: its verdicts are its cycles'. Told after
// each cycle, so its standard output and JSON lines are the last cycle's.
class ReconnectKind : public NoRunsKind {
public:
    const char* Name() const override { return "reconnect"; }
    const char* Title() const override { return "reconnect"; }
    std::vector<ReportCase> SessionCases(const SessionReport& r) const override {
        std::vector<ReportCase> cases;
        if (!r.reconnect)
            return cases;
        for (const ReconnectCycle& cycle : *r.reconnect) {
            ReportCase c;
            c.name = "cycle " + std::to_string(cycle.number);
            c.state = cycle.Ok() ? State::Passed : State::Failed;
            c.seconds = cycle.connectSeconds;
            c.word = !cycle.connected ? "not-connected" : cycle.Ok() ? "passed" : "short";
            c.message = ReconnectCycleText(cycle, r.options.reconnect.cycles);
            if (!cycle.Ok())
                c.why = c.message;
            Flatten("", ReconnectCycleJson(cycle), c.properties);
            cases.push_back(std::move(c));
        }
        return cases;
    }
    std::vector<std::string> SessionLines(const SessionReport& r) const override {
        if (!r.reconnect || r.reconnect->empty())
            return {};
        return {ReconnectCycleText(r.reconnect->back(), r.options.reconnect.cycles)};
    }
    int SessionCode(const SessionReport& r) const override {
        if (r.reconnect)
            for (const ReconnectCycle& c : *r.reconnect)
                if (!c.Ok())
                    return c.connected ? EXIT_MISMATCH : EXIT_NETWORK_FAILED;
        return 0;
    }
    QJsonObject SessionJsonLine(const SessionReport& r) const override {
        if (!r.reconnect || r.reconnect->empty())
            return {};
        QJsonObject j = ReconnectCycleJson(r.reconnect->back());
        j["test"] = Name();
        const ReconnectCycle& last = r.reconnect->back();
        j["result"] = last.Ok() ? "passed" : "failed";
        // The cycle's own code: an earlier cycle's failure is on its own line.
        j["exit_code"] = last.Ok()        ? 0
                         : last.connected ? int(EXIT_MISMATCH)
                                          : int(EXIT_NETWORK_FAILED);
        return j;
    }
    QJsonValue DataJson(const SessionReport& r) const override {
        return QJsonObject{{"source", "blocks"},
                           {"block_bytes", kReconnectBlock},
                           {"cycles", r.options.reconnect.cycles},
                           {"while_away", r.options.reconnect.whileAway}};
    }
    std::vector<std::pair<std::string, std::string>> HtmlRows(
        const SessionReport& r) const override {
        std::string text = CountOf(r.options.reconnect.cycles, "cycle", "cycles") +
                           ", a block of " + std::to_string(kReconnectBlock) +
                           " bytes each way after each connect";
        if (r.options.reconnect.whileAway > 0)
            text += ", " + CountOf(r.options.reconnect.whileAway, "byte", "bytes") +
                    " sent by the serial side while away";
        return {{"reconnect", text}};
    }
};

}  // namespace

const TestKind& KindOf(RunnerOptions::Test test) {
    static const PassthroughKind passthrough;
    static const LatencyKind latency;
    static const LinesKind lines;
    static const ScriptKind script;
    static const ReconnectKind reconnect;
    switch (test) {
        case RunnerOptions::Test::Reconnect:
            return reconnect;
        case RunnerOptions::Test::Script:
            return script;
        case RunnerOptions::Test::Latency:
            return latency;
        case RunnerOptions::Test::Lines:
            return lines;
        case RunnerOptions::Test::Passthrough:
            break;
    }
    return passthrough;
}

const TestKind& KindOf(const RunReport& run) {
    return KindOf(run.latency ? RunnerOptions::Test::Latency : RunnerOptions::Test::Passthrough);
}

int RunExitCode(const PassOutcome& out) {
    if (out.Verified())
        return 0;
    switch (out.end) {
        case End::OpenFailed:
        case End::WriteFailed:
            return EXIT_NOT_STORED;
        case End::TimedOut:
            return out.stored > 0 ? EXIT_MISMATCH : EXIT_TIMEOUT;
        default:
            return EXIT_MISMATCH;
    }
}

std::string RunResultWord(const PassOutcome& out) {
    if (out.Verified())
        return "verified";
    if (out.Mismatch())
        return "mismatch";
    if (out.Short())
        return "short";
    switch (out.end) {
        case End::TimedOut:
            return "timeout";
        case End::Rejected:
            return "rejected";
        case End::OpenFailed:
        case End::WriteFailed:
            return "not-stored";
        default:
            return "cancelled";
    }
}

std::string RunMessage(const PassOutcome& out) {
    std::string status = PassStatusText(out);
    if (!status.empty() && status[0] == ' ')
        status.erase(0, 1);
    if (out.Verified() || out.Mismatch())
        return status;
    switch (out.end) {
        case End::LinkLost:
            return status + " (" + ShortText(out) + ")";
        case End::TimedOut:
            return CaptureLinkTimeout(out) + " : " +
                   (out.stored > 0 ? ShortText(out)
                                   : std::string(out.announced >= 0
                                                     ? "the header arrived, then nothing for 2 s"
                                                     : "nothing arrived within 2 s"));
        case End::Rejected:
            return "Rejected : the header announced " + std::to_string(out.announced) +
                   " bytes, not a length that can be received";
        case End::OpenFailed:
        case End::WriteFailed:
            return out.text;
        default:
            return "Cancelled";
    }
}

std::string DiagnosisLine(const PassOutcome& outcome) {
    return outcome.diagnosis.empty() ? std::string() : "diagnosis: " + outcome.diagnosis;
}

std::string AckWord(ComPortClient::AckState state) {
    switch (state) {
        case ComPortClient::AckState::Acknowledged:
            return "acknowledged";
        case ComPortClient::AckState::AcknowledgedOther:
            return "other-value";
        case ComPortClient::AckState::Pending:
        case ComPortClient::AckState::TimedOut:
            return "no-answer";
        default:
            return "not-applied";
    }
}
