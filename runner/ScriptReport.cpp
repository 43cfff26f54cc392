#include "runner/ScriptReport.h"

#include <QJsonArray>

#include <algorithm>
#include <cstdio>

#include "runner/Charts.h"

namespace {

using State = ScriptOutcome::State;
using CaseState = ReportCase::State;

// More charts than this make a page nobody reads; the tables still list every line.
constexpr size_t kMaxCharts = 40;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

double MsOf(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

std::string Seconds(int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ns) / 1e9);
    return text;
}

// The step a line holds (searched through every repeat's body), or null.
const ScriptStep* StepAt(const std::vector<ScriptStep>& steps, int line) {
    for (const ScriptStep& s : steps) {
        if (s.line == line)
            return &s;
        if (const ScriptStep* inner = StepAt(s.body, line))
            return inner;
    }
    return nullptr;
}

// The last line a repeat's body reaches, nested repeats included.
int LastLine(const ScriptStep& step) {
    int last = step.line;
    for (const ScriptStep& s : step.body)
        last = std::max(last, LastLine(s));
    return last;
}

const char* StepWord(const Script* script, int line) {
    if (script) {
        if (const ScriptStep* s = StepAt(script->steps, line)) {
            switch (s->op) {
                case ScriptStep::Op::Send:
                    return "send";
                case ScriptStep::Op::Expect:
                    return "expect";
                case ScriptStep::Op::Wait:
                    return "wait";
                case ScriptStep::Op::Repeat:
                    return "repeat";
            }
        }
        for (const ScriptResponder& r : script->responders)
            if (r.line == line)
                return "on";
    }
    return "step";
}

std::string ExpectName(const ExpectFigures& e) {
    return "line " + std::to_string(e.line) + " expect " + ScriptLinkName(e.link) + " " + e.written;
}

std::string RepeatName(const RepeatFigures& r) {
    return "line " + std::to_string(r.line) + " repeat every " + FormatDuration(r.everyNs);
}

struct Spread {
    int64_t p50 = 0, p99 = 0, max = 0;
};

Spread SpreadOf(const ExpectFigures& e) {
    Spread s;
    if (e.responseNs.empty())
        return s;
    s.p50 = PercentileNs(e.responseNs, 50);
    s.p99 = PercentileNs(e.responseNs, 99);
    s.max = *std::max_element(e.responseNs.begin(), e.responseNs.end());
    return s;
}

// "41 met, 1 not met, response p50 0.212 ms, p99 0.480 ms, max 1.020 ms", or "not reached".
std::string ExpectText(const ExpectFigures& e) {
    if (e.met == 0 && e.missed == 0)
        return "not reached";
    std::string text = std::to_string(e.met) + " met";
    if (e.missed > 0)
        text += ", " + std::to_string(e.missed) + " not met";
    if (!e.responseNs.empty()) {
        const Spread s = SpreadOf(e);
        text += ", response p50 " + ScriptMs(s.p50) + " ms, p99 " + ScriptMs(s.p99) + " ms, max " +
                ScriptMs(s.max) + " ms";
    }
    return text;
}

int Passes(const RepeatFigures& r) {
    return static_cast<int>(r.startNs.size());
}

// "100 passes, mean period 10.003 ms, p99 jitter 0.080 ms", or "not reached".
std::string RepeatText(const RepeatFigures& r) {
    if (r.startNs.empty())
        return "not reached";
    std::string text = CountOf(Passes(r), "pass", "passes");
    if (r.startNs.size() >= 2)
        text += ", mean period " + ScriptMs(r.MeanPeriodNs()) + " ms, p99 jitter " +
                ScriptMs(r.P99JitterNs()) + " ms";
    return text;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines)
        text += (text.empty() ? "" : "; ") + l;
    return text;
}

std::string ScriptName(const SessionReport& r) {
    return r.options.script ? r.options.script->file : r.options.scriptPath;
}

}  // namespace

std::string ScriptMs(int64_t ns) {
    const double ms = MsOf(ns);
    int decimals = 3;
    // Below 0.1 ms a decimal more per power of ten, down to the nanosecond.
    for (int64_t limit = 100000; decimals < 6 && ns > 0 && ns < limit; limit /= 10)
        ++decimals;
    char format[16], text[48];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    std::snprintf(text, sizeof text, format, ms);
    return text;
}

std::string ScriptResultWord(const ScriptOutcome& o) {
    switch (o.state) {
        case State::Passed:
            return "passed";
        case State::Unmet:
            return "unmet";
        case State::LinkFailed:
            return "link-failed";
        case State::Stopped:
            break;
    }
    return "interrupted";
}

int64_t ScriptPlannedSteps(const std::vector<ScriptStep>& steps) {
    constexpr int64_t kMany = int64_t{1} << 50;  // no script runs this many steps
    int64_t n = 0;
    for (const ScriptStep& s : steps) {
        n += 1;
        if (s.op == ScriptStep::Op::Repeat) {
            const int64_t body = ScriptPlannedSteps(s.body);
            n += body > 0 && s.count > kMany / body ? kMany : s.count * body;
        }
        n = std::min(n, kMany);
    }
    return n;
}

std::vector<std::string> ScriptLines(const SessionReport& r) {
    std::vector<std::string> lines;
    if (!r.script)
        return lines;
    const ScriptOutcome& o = *r.script;
    int64_t met = 0;
    for (const ExpectFigures& e : o.expects)
        met += e.met;
    std::string summary = "script " + ScriptName(r) + ": ";
    switch (o.state) {
        case State::Passed:
            summary += "passed";
            break;
        case State::Unmet:
            summary += "not met at line " + std::to_string(o.line);
            break;
        case State::LinkFailed:
            summary += "link failed at line " + std::to_string(o.line);
            break;
        case State::Stopped:
            summary += "interrupted (SIGINT or SIGTERM)";
            if (o.line > 0)
                summary += " at line " + std::to_string(o.line);
            break;
    }
    summary += ", " + CountOf(met, "expectation", "expectations") + " met on " +
               CountOf(static_cast<int64_t>(o.expects.size()), "line", "lines") + ", " +
               CountOf(o.sends, "send", "sends") + ", " +
               CountOf(o.responses, "response", "responses") + ", in " + Seconds(o.elapsedNs) +
               " s";
    lines.push_back(summary);
    for (const ExpectFigures& e : o.expects)
        lines.push_back(ExpectName(e) + ": " + ExpectText(e));
    for (const RepeatFigures& rep : o.repeats)
        lines.push_back(RepeatName(rep) + ": " + RepeatText(rep));
    // What was expected and what came instead; a link's failure is the session's error, told
    // on standard error.
    if (o.state == State::Unmet)
        lines.insert(lines.end(), o.why.begin(), o.why.end());
    return lines;
}

QJsonObject ScriptJson(const SessionReport& r) {
    if (!r.script)
        return {};
    const ScriptOutcome& o = *r.script;
    const bool ended = o.state != State::Passed;
    QJsonArray why;
    for (const std::string& w : o.why)
        why.append(Q(w));
    QJsonArray expects;
    for (const ExpectFigures& e : o.expects) {
        QJsonValue response;
        if (!e.responseNs.empty()) {
            const Spread s = SpreadOf(e);
            response = QJsonObject{{"count", static_cast<qint64>(e.responseNs.size())},
                                   {"p50_ms", MsOf(s.p50)},
                                   {"p99_ms", MsOf(s.p99)},
                                   {"max_ms", MsOf(s.max)}};
        }
        expects.append(QJsonObject{{"line", e.line},
                                   {"link", ScriptLinkName(e.link)},
                                   {"expect", Q(e.written)},
                                   {"met", e.met},
                                   {"missed", e.missed},
                                   {"response", response}});
    }
    QJsonArray repeats;
    for (const RepeatFigures& rep : o.repeats) {
        const bool timed = rep.startNs.size() >= 2;
        repeats.append(QJsonObject{
            {"line", rep.line},
            {"every_ms", MsOf(rep.everyNs)},
            {"passes", Passes(rep)},
            {"mean_period_ms", timed ? QJsonValue(MsOf(rep.MeanPeriodNs())) : QJsonValue()},
            {"p99_jitter_ms", timed ? QJsonValue(MsOf(rep.P99JitterNs())) : QJsonValue()},
        });
    }
    return QJsonObject{
        {"file", Q(ScriptName(r))},
        {"result", Q(ScriptResultWord(o))},
        {"line", ended && o.line > 0 ? QJsonValue(o.line) : QJsonValue()},
        {"link",
         ended && o.state != State::Stopped ? QJsonValue(ScriptLinkName(o.link)) : QJsonValue()},
        {"why", why},
        {"sends", static_cast<qint64>(o.sends)},
        {"responses", static_cast<qint64>(o.responses)},
        {"seconds", static_cast<double>(o.elapsedNs) / 1e9},
        {"expects", expects},
        {"repeats", repeats},
    };
}

std::vector<ReportCase> ScriptCases(const SessionReport& r) {
    std::vector<ReportCase> cases;
    if (!r.script)
        return cases;
    const ScriptOutcome& o = *r.script;
    const Script* script = r.options.script.get();
    const std::string why = Joined(o.why);
    // A link's failure: the session's error (what failed and the system's reason) at its line.
    const auto linkFailure = [&](ReportCase& c) {
        c.state = CaseState::Error;
        c.word = "link-failed";
        c.why = r.error ? r.error->text : why;
        c.detail = r.error ? r.error->detail : std::string();
        if (r.error && !why.empty() && why != c.why)
            c.detail = why + (c.detail.empty() ? "" : "\n" + c.detail);
    };
    bool failureCarried = false;  // the line it stopped at has a case of its own
    for (const ExpectFigures& e : o.expects) {
        ReportCase c;
        c.name = ExpectName(e);
        c.message = ExpectText(e);
        c.word = "met";
        c.properties = {{"met", std::to_string(e.met)}, {"missed", std::to_string(e.missed)}};
        if (!e.responseNs.empty()) {
            const Spread s = SpreadOf(e);
            c.properties.insert(c.properties.end(),
                                {{"response.count", std::to_string(e.responseNs.size())},
                                 {"response.p50_ms", ScriptMs(s.p50)},
                                 {"response.p99_ms", ScriptMs(s.p99)},
                                 {"response.max_ms", ScriptMs(s.max)}});
        }
        const bool here = o.state != State::Passed && o.line == e.line;
        failureCarried = failureCarried || here;
        if (here && o.state == State::Unmet) {
            c.state = CaseState::Failed;
            c.word = "unmet";
            c.why = why;
        } else if (here && o.state == State::LinkFailed) {
            linkFailure(c);
        } else if (here && o.state == State::Stopped) {
            c.state = CaseState::Interrupted;
            c.word = "interrupted";
            c.why = "interrupted: SIGINT or SIGTERM ended the script while it waited here";
        } else if (e.missed > 0) {
            c.state = CaseState::Failed;
            c.word = "unmet";
            c.why = c.message;
        } else if (e.met == 0) {
            c.state = CaseState::Skipped;
            c.word = "not-reached";
            c.why = "the script ended before this line";
        }
        cases.push_back(std::move(c));
    }
    for (const RepeatFigures& rep : o.repeats) {
        ReportCase c;
        c.name = RepeatName(rep);
        c.message = RepeatText(rep);
        c.word = "repeated";
        c.properties = {{"passes", std::to_string(Passes(rep))},
                        {"every_ms", ScriptMs(rep.everyNs)}};
        if (rep.startNs.size() >= 2)
            c.properties.insert(c.properties.end(),
                                {{"mean_period_ms", ScriptMs(rep.MeanPeriodNs())},
                                 {"p99_jitter_ms", ScriptMs(rep.P99JitterNs())}});
        const ScriptStep* step = script ? StepAt(script->steps, rep.line) : nullptr;
        const bool within =
            o.state != State::Passed && step && o.line >= step->line && o.line <= LastLine(*step);
        if (rep.startNs.empty()) {
            c.state = CaseState::Skipped;
            c.word = "not-reached";
            c.why = "the script ended before this line";
        } else if (within) {
            // Its passes were cut short by what happened at a line of its body.
            c.state = o.state == State::Stopped ? CaseState::Interrupted : CaseState::Failed;
            c.word = o.state == State::Stopped ? "interrupted" : "cut-short";
            c.why = "the script stopped at line " + std::to_string(o.line) + " after " +
                    CountOf(Passes(rep), "pass", "passes");
        }
        cases.push_back(std::move(c));
    }
    // A send (or a responder's answer) that failed, or an interrupted wait: the line's own case.
    if (!failureCarried && (o.state == State::LinkFailed || o.state == State::Stopped)) {
        ReportCase c;
        c.name = (o.line > 0 ? "line " + std::to_string(o.line) + " " : std::string()) +
                 StepWord(script, o.line);
        if (o.state == State::LinkFailed) {
            linkFailure(c);
            c.message = c.why;
        } else {
            c.state = CaseState::Interrupted;
            c.word = "interrupted";
            c.message = c.why = "interrupted: SIGINT or SIGTERM ended the script here";
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

std::string ScriptHtml(const SessionReport& r) {
    if (!r.script)
        return {};
    const ScriptOutcome& o = *r.script;
    std::string h = "<h2>Script " + HtmlEscape(ScriptName(r)) + ": " +
                    HtmlEscape(ScriptResultWord(o)) + "</h2>\n";
    for (const std::string& w : o.why)
        h += "<p class=\"why\">" + HtmlEscape(w) + "</p>\n";
    h += "<p class=\"muted\">" +
         HtmlEscape(CountOf(o.sends, "send", "sends") + ", " +
                    CountOf(o.responses, "response", "responses") + ", " + Seconds(o.elapsedNs) +
                    " s") +
         "</p>\n";
    if (!o.expects.empty()) {
        h += "<h3>Expectations: response time (ms)</h3>\n<table>\n<tr><th>line</th><th>link</th>"
             "<th>expected</th><th>met</th><th>not met</th><th>p50</th><th>p99</th><th>max</th>"
             "</tr>\n";
        for (const ExpectFigures& e : o.expects) {
            const Spread s = SpreadOf(e);
            const bool any = !e.responseNs.empty();
            h += "<tr><td class=\"n\">" + std::to_string(e.line) + "</td><td>" +
                 ScriptLinkName(e.link) + "</td><td><code>" + HtmlEscape(e.written) +
                 "</code></td><td class=\"n\">" + std::to_string(e.met) + "</td><td class=\"n\">" +
                 std::to_string(e.missed) + "</td>";
            for (int64_t v : {s.p50, s.p99, s.max})
                h += "<td class=\"n\">" + (any ? ScriptMs(v) : std::string()) + "</td>";
            h += "</tr>\n";
        }
        h += "</table>\n";
    }
    if (!o.repeats.empty()) {
        h += "<h3>Repeats: period against the schedule (ms)</h3>\n<table>\n<tr><th>line</th>"
             "<th>every</th><th>passes</th><th>mean period</th><th>p99 jitter</th></tr>\n";
        for (const RepeatFigures& rep : o.repeats) {
            const bool timed = rep.startNs.size() >= 2;
            h += "<tr><td class=\"n\">" + std::to_string(rep.line) + "</td><td class=\"n\">" +
                 ScriptMs(rep.everyNs) + "</td><td class=\"n\">" + std::to_string(Passes(rep)) +
                 "</td><td class=\"n\">" + (timed ? ScriptMs(rep.MeanPeriodNs()) : "") +
                 "</td><td class=\"n\">" + (timed ? ScriptMs(rep.P99JitterNs()) : "") +
                 "</td></tr>\n";
        }
        h += "</table>\n";
    }
    std::string charts;
    size_t drawn = 0;
    for (const ExpectFigures& e : o.expects) {
        if (e.responseNs.empty())
            continue;
        if (drawn++ == kMaxCharts) {
            charts +=
                "<p class=\"muted\">the other lines' spread is left out; the table lists "
                "their figures</p>\n";
            break;
        }
        std::vector<double> ms;
        ms.reserve(e.responseNs.size());
        for (int64_t ns : e.responseNs)
            ms.push_back(MsOf(ns));
        std::sort(ms.begin(), ms.end());
        const std::string name = ExpectName(e);
        charts += "<div><h3>" + HtmlEscape(name) + ": response time, cumulative</h3>\n" +
                  LatencyCdfSvg(ms, 520, 260, name + ": response time, cumulative distribution",
                                "no response") +
                  "</div>\n";
    }
    if (!charts.empty())
        h += "<div class=\"charts\">\n" + charts + "</div>\n";
    return h;
}
