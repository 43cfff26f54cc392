#include "runner/Report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <QXmlStreamWriter>

#include <cstdio>

#include "runner/ScriptReport.h"
#include "runner/TestKind.h"
#include "transfer/PassVerdict.h"

namespace {

using State = ReportCase::State;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

constexpr const char* kInterruptedRun = "interrupted: SIGINT or SIGTERM ended the run";
constexpr const char* kInterruptedSetup =
    "interrupted: SIGINT or SIGTERM came before the first run";

QJsonValue RemoteJson(const std::optional<RemoteSettingsReport>& remote) {
    if (!remote)
        return QJsonValue();
    using Option = ComPortClient::OptionState;
    const Option o = remote->option;
    const char* option = o == Option::Agreed     ? "agreed"
                         : o == Option::Refused  ? "refused"
                         : o == Option::NoAnswer ? "no-answer"
                         : o == Option::Asking   ? "asking"
                                                 : "not-asked";
    QJsonArray settings;
    for (const RemoteSettingsReport::Item& item : remote->items) {
        const bool answered = item.state == ComPortClient::AckState::Acknowledged ||
                              item.state == ComPortClient::AckState::AcknowledgedOther;
        settings.append(QJsonObject{
            {"setting", ComPortClient::SettingName(item.setting)},
            {"requested", Q(RemoteSettingsReport::ValueName(item.setting, item.requested))},
            {"answered",
             answered ? QJsonValue(Q(RemoteSettingsReport::ValueName(item.setting, item.answered)))
                      : QJsonValue()},
            {"result", Q(AckWord(item.state))},
        });
    }
    QJsonArray failures;
    for (const std::string& f : remote->Failures())
        failures.append(Q(f));
    return QJsonObject{{"option", option},
                       {"applied", remote->Ok()},
                       {"settings", settings},
                       {"failures", failures}};
}

QJsonValue LinesJson(const std::optional<LinesReport>& lines) {
    if (!lines)
        return QJsonValue();
    QJsonArray out;
    for (const LineFollowReport& l : lines->lines) {
        QJsonArray followers;
        for (ModemLine line : l.followers)
            followers.append(ModemLineName(line));
        out.append(QJsonObject{
            {"line", Q(l.driven)},
            {"side", l.remote ? "device-server" : "serial"},
            {"followers", followers},
            {"toggles", l.toggles},
            {"seen", l.seen},
            {"delay_p50_ms", l.delaysMs.empty() ? QJsonValue() : QJsonValue(l.P50Ms())},
            {"delay_max_ms", l.delaysMs.empty() ? QJsonValue() : QJsonValue(l.MaxMs())},
            {"error", l.error.empty() ? QJsonValue() : QJsonValue(Q(l.error))},
            {"ok", l.Ok()},
        });
    }
    return QJsonObject{{"lines", out}, {"link_lost", lines->linkLost}, {"ok", lines->Ok()}};
}

QJsonArray ReconnectJson(const std::vector<ReconnectCycle>& cycles) {
    QJsonArray out;
    for (const ReconnectCycle& c : cycles)
        out.append(ReconnectCycleJson(c));
    return out;
}

// A session error is a "setup" case of its own, except the device server's refusal of the serial
// settings, which its "rfc2217 settings" case carries, and a link that failed while a script ran,
// which the case of the script's line carries.
bool SetupError(const SessionReport& r) {
    return r.error && !(r.remote && !r.remote->Ok() && r.error->exitCode == EXIT_CONTROL_PATH) &&
           !(r.script && r.script->state == ScriptOutcome::State::LinkFailed);
}

std::string Seconds3(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

// " client 2 of 3" for a run of one of several clients, else empty.
std::string ClientPart(const RunReport& run) {
    return run.client > 0
               ? " client " + std::to_string(run.client) + " of " + std::to_string(run.clients)
               : std::string();
}

}  // namespace

std::string LinkDropsText(const RunReport& run) {
    std::string text;
    for (const LinkDrop& d : run.drops)
        text += std::string(text.empty() ? "" : "; ") + "the device's link dropped " +
                (d.duringRun ? "after " + CountOf(d.storedBeforeDrop, "byte", "bytes") +
                                   " and the run started again from its first byte once it "
                                   "dialled in again, "
                             : std::string("before the run and it dialled in again ")) +
                Seconds3(d.gapSeconds) + " s after the drop";
    return text;
}

int RunExitCode(const RunReport& run) {
    return run.interrupted ? int(EXIT_INTERRUPTED) : KindOf(run).RunExitCode(run);
}

int SessionExitCode(const SessionReport& report) {
    if (report.interrupted)
        return EXIT_INTERRUPTED;
    if (report.error)
        return report.error->exitCode;
    if (const int code = KindOf(report.options.test).SessionCode(report); code != EXIT_VERIFIED)
        return code;
    for (const RunReport& run : report.runs)
        if (const int code = RunExitCode(run); code != EXIT_VERIFIED)
            return code;
    return EXIT_VERIFIED;
}

std::string SummaryLine(const RunReport& run, int plannedRuns) {
    std::string line = "run " + std::to_string(run.number) + "/" + std::to_string(plannedRuns) +
                       " " + DirectionName(run.Direction()) + ClientPart(run) + ": " +
                       (run.interrupted ? std::string("interrupted (SIGINT or SIGTERM)")
                                        : KindOf(run).RunMessage(run));
    if (!run.drops.empty())
        line += " (" + LinkDropsText(run) + ")";
    return line;
}

std::vector<std::string> RunLines(const RunReport& run, int plannedRuns) {
    std::vector<std::string> lines{SummaryLine(run, plannedRuns)};
    if (!run.interrupted)
        for (std::string& note : KindOf(run).RunNotes(run))
            lines.push_back(std::move(note));
    if (run.datagrams)
        for (std::string& line :
             DatagramLines(*run.datagrams, run.Direction() == PassDirection::SerialToNet))
            lines.push_back(std::move(line));
    return lines;
}

std::vector<std::string> DatagramLines(const DatagramReport& d, bool received) {
    std::vector<std::string> lines;
    // The device server's packing shows in what it sends; a run the other way gets none back.
    if (received || d.received.count > 0)
        lines.push_back("udp: " + d.received.Text());
    if (!d.finding.empty())
        lines.push_back("udp: " + d.finding);
    else if (!d.notDiagnosed.empty())
        lines.push_back("udp: " + d.notDiagnosed);
    return lines;
}

std::string UdpLinkLine(const SessionReport& r) {
    const RunnerOptions::Link& link = r.options.link;
    std::string pace;
    if (r.options.test == RunnerOptions::Test::Passthrough) {
        char rate[48];
        if (link.udpPace == kUdpPaceOff) {
            pace = "; file datagrams unpaced";
        } else if (link.udpPace == kUdpPaceLine) {
            std::snprintf(rate, sizeof rate, "%.0f", LineBytesPerSecond(r.options.settings));
            pace = std::string("; file datagrams paced to the serial line's ") + rate + " bytes/s";
        } else {
            std::snprintf(rate, sizeof rate, "%.0f", link.udpPace);
            pace = std::string("; file datagrams paced to ") + rate + " bytes/s";
        }
    }
    return "udp: datagrams to " + link.host + ":" + std::to_string(link.port) +
           " from local port " + std::to_string(r.udpLocalPort) +
           " (the device server must send there)" + pace;
}

QJsonObject DatagramJson(const DatagramReport& d) {
    return QJsonObject{
        {"received", d.received.Json()},
        {"sent", d.sent.Json()},
        {"finding", d.finding.empty() ? QJsonValue() : QJsonValue(Q(d.finding))},
        {"not_diagnosed", d.notDiagnosed.empty() ? QJsonValue() : QJsonValue(Q(d.notDiagnosed))},
    };
}

std::string RemoteAppliedLine(const SessionReport& report) {
    return "rfc2217: the device server applied " + report.options.settings.Readable();
}

std::string ServerWaitLine(const SessionReport& report) {
    const RunnerOptions::Link& link = report.options.link;
    const ServerWait wait = report.serverWait.value_or(ServerWait{});
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", wait.seconds);
    return "connect: the device server at " + link.host + ":" + std::to_string(link.port) +
           " accepted after " + seconds + " s (" + CountOf(wait.attempts, "attempt", "attempts") +
           ")";
}

QJsonObject RunObject(const RunReport& run) {
    QJsonObject j = KindOf(run).RunJson(run);
    j["run"] = run.number;
    if (run.datagrams)
        j["datagrams"] = DatagramJson(*run.datagrams);
    if (run.client > 0)
        j["client"] = run.client;
    if (!run.drops.empty()) {
        QJsonArray drops;
        for (const LinkDrop& d : run.drops)
            drops.append(
                QJsonObject{{"during_run", d.duringRun},
                            {"stored_before_drop", static_cast<qint64>(d.storedBeforeDrop)},
                            {"gap_seconds", d.gapSeconds}});
        j["link_drops"] = drops;
    }
    if (run.interrupted) {
        j["result"] = "interrupted";
        j["message"] = kInterruptedRun;
        j["exit_code"] = int(EXIT_INTERRUPTED);
    }
    return j;
}

QJsonObject JsonReportObject(const SessionReport& r) {
    const RunnerOptions& o = r.options;
    const TestKind& kind = KindOf(o.test);
    const double line = LineBytesPerSecond(o.settings);
    QJsonObject serial{
        {"device", Q(o.serial)},
        {"baud", static_cast<qint64>(o.settings.baud)},
        {"data_bits", o.settings.dataBits},
        {"parity", Q(ParityWord(o.settings.parity))},
        {"stop_bits", o.settings.stopBits == StopBits::Two ? 2 : 1},
        {"flow", Q(FlowWord(o.settings.flow))},
        {"real_baud_rate", r.realBaud},
        {"line_bytes_per_second", r.realBaud ? QJsonValue(line) : QJsonValue()},
    };
    QJsonObject network{
        {"mode", o.link.mode == RunnerOptions::Net::Connect ? "connect" : "listen"},
        {"port", static_cast<qint64>(o.link.port)},
        {"framing", o.rfc2217 ? "rfc2217" : "raw"},
        {"protocol", o.link.udp ? "udp" : "tcp"},
    };
    if (o.link.udp) {
        // The port the device server must send to, and how fast file datagrams go to it.
        network["udp_local_port"] =
            r.udpLocalPort ? QJsonValue(static_cast<qint64>(r.udpLocalPort)) : QJsonValue();
        network["udp_pace"] = o.link.udpPace == kUdpPaceLine  ? QJsonValue("line")
                              : o.link.udpPace == kUdpPaceOff ? QJsonValue("off")
                                                              : QJsonValue(o.link.udpPace);
        if (r.scriptDatagrams)
            network["datagrams"] = DatagramJson(*r.scriptDatagrams);
    }
    if (o.link.mode == RunnerOptions::Net::Listen)
        network["accept_again"] = o.link.acceptAgain;
    if (o.link.mode == RunnerOptions::Net::Connect) {
        network["clients"] = o.link.clients;
        network["address"] = Q(o.link.host);
        network["host"] = Q(o.link.hostName.empty() ? o.link.host : o.link.hostName);
        // With --wait-for-server: how long the device server took to accept (null when it
        // never did).
        if (o.link.waitForServerS > 0) {
            const bool accepted = r.serverWait && r.serverWait->accepted;
            network["wait_for_server"] = QJsonObject{
                {"limit_seconds", o.link.waitForServerS},
                {"accepted", accepted},
                {"seconds", r.serverWait ? QJsonValue(r.serverWait->seconds) : QJsonValue()},
                {"attempts", r.serverWait ? r.serverWait->attempts : 0},
            };
        }
    }
    QJsonArray runs;
    for (const RunReport& run : r.runs) {
        QJsonObject j = RunObject(run);
        if (r.realBaud && !run.latency) {
            j["line_bytes_per_second"] = line;
            j["line_share"] = line > 0 ? run.outcome.bytesPerSecond / line : 0.0;
        }
        runs.append(j);
    }
    return QJsonObject{
        {"program", "vaskel-passthrough"},
        {"test", kind.Name()},
        {"exit_code", SessionExitCode(r)},
        {"interrupted", r.interrupted},
        {"serial", serial},
        {"network", network},
        {"data", kind.DataJson(r)},
        {"rfc2217", RemoteJson(r.remote)},
        {"lines", LinesJson(r.lines)},
        {"floor", r.floor ? QJsonValue(LatencyFloorJson(*r.floor)) : QJsonValue()},
        {"script", r.script ? QJsonValue(ScriptJson(r)) : QJsonValue()},
        {"reconnect", r.reconnect ? QJsonValue(ReconnectJson(*r.reconnect)) : QJsonValue()},
        {"planned_runs", r.plannedRuns},
        {"runs", runs},
        {"error", r.error ? QJsonValue(QJsonObject{{"text", Q(r.error->text)},
                                                   {"detail", Q(r.error->detail)}})
                          : QJsonValue()},
    };
}

std::string JsonReport(const SessionReport& r) {
    return QJsonDocument(JsonReportObject(r)).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<ReportCase> SessionCases(const SessionReport& r, const std::string& label) {
    const std::string prefix = label.empty() ? "" : label + " ";
    std::vector<ReportCase> cases;
    const TestKind& kind = KindOf(r.options.test);
    if (r.interrupted && r.runs.empty() && !r.error && !r.lines && !r.script && !r.reconnect) {
        ReportCase c;
        c.name = prefix + "setup";
        c.state = State::Interrupted;
        c.word = "interrupted";
        c.message = c.why = kInterruptedSetup;
        cases.push_back(std::move(c));
    }
    if (SetupError(r)) {
        ReportCase c;
        c.name = prefix + "setup";
        c.state = State::Error;
        c.word = "error";
        c.message = c.why = r.error->text;
        c.detail = r.error->detail;
        cases.push_back(std::move(c));
    }
    if (r.remote) {
        ReportCase c;
        c.name = prefix + "rfc2217 settings";
        c.state = r.remote->Ok() ? State::Passed : State::Failed;
        c.word = r.remote->Ok() ? "applied" : r.remote->NotRfc2217() ? "not-rfc2217" : "settings";
        c.message = r.remote->Ok() ? RemoteAppliedLine(r) : r.remote->FailureText();
        if (!r.remote->Ok()) {
            c.why = c.message;
            for (const std::string& f : r.remote->Failures())
                c.detail += f + "\n";
        }
        cases.push_back(std::move(c));
    }
    for (ReportCase c : kind.SessionCases(r)) {
        c.name = prefix + c.name;
        cases.push_back(std::move(c));
    }
    for (const RunReport& run : r.runs) {
        // An interrupted run keeps the figures it had, and is marked alike for every test.
        ReportCase c = KindOf(run).RunCase(run);
        if (run.interrupted) {
            c.state = State::Interrupted;
            c.word = "interrupted";
            c.message = c.why = kInterruptedRun;
            c.detail.clear();
        }
        if (run.datagrams && !run.interrupted) {
            const DatagramReport& d = *run.datagrams;
            c.properties.emplace_back("datagrams.received", std::to_string(d.received.count));
            c.properties.emplace_back("datagrams.received.sizes", d.received.Compact());
            c.properties.emplace_back("datagrams.sent", std::to_string(d.sent.count));
            if (!d.finding.empty()) {
                c.properties.emplace_back("datagrams.finding", d.finding);
                if (c.state != State::Passed)
                    c.why += (c.why.empty() ? "" : "; ") + d.finding;
            }
            // A passed case's text is its system-out: the device server's packing goes with it.
            for (const std::string& line :
                 DatagramLines(d, run.Direction() == PassDirection::SerialToNet))
                if (c.state == State::Passed)
                    c.message += "\n" + line;
                else
                    c.detail += (c.detail.empty() ? "" : "\n") + line;
        }
        c.run = &run;
        c.direction = DirectionName(run.Direction());
        // Alone: "run 1 serial-to-net"; in a rack: "serial-to-net 115200 8N1", with the run's
        // number when the runs repeat.
        c.name = "run " + std::to_string(run.number) + " " + c.direction + ClientPart(run);
        if (!label.empty()) {
            c.name = c.direction + ClientPart(run) + " " + label;
            if (r.options.repeat > 1)
                c.name += " run " + std::to_string(run.number);
        }
        if (run.client > 0)
            c.properties.emplace_back("client", std::to_string(run.client));
        if (!run.drops.empty()) {
            c.message += " (" + LinkDropsText(run) + ")";
            c.properties.emplace_back("link_drops", std::to_string(run.drops.size()));
            for (size_t i = 0; i < run.drops.size(); ++i)
                c.properties.emplace_back("link_drop." + std::to_string(i + 1) + ".gap_seconds",
                                          Seconds3(run.drops[i].gapSeconds));
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

std::string CaseFailureText(const ReportCase& c) {
    if (c.why.empty() || c.why == c.message || c.why.rfind(c.message, 0) == 0)
        return c.why.empty() ? c.message : c.why;
    return c.message + "; " + c.why;
}

std::string JUnitSuitesXml(const std::vector<JUnitSuite>& suites) {
    QString xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement("testsuites");
    for (const JUnitSuite& suite : suites) {
        std::vector<ReportCase> cases;
        for (const JUnitSuite::Part& p : suite.parts)
            for (ReportCase& c : SessionCases(*p.report, p.label))
                cases.push_back(std::move(c));
        int failures = 0, errors = 0, skipped = 0;
        double total = 0;
        for (const ReportCase& c : cases) {
            failures += c.state == State::Failed;
            errors += c.state == State::Error || c.state == State::Interrupted;
            skipped += c.state == State::Skipped;
            total += c.seconds;
        }
        w.writeStartElement("testsuite");
        w.writeAttribute("name", Q(suite.name));
        w.writeAttribute("tests", QString::number(cases.size()));
        w.writeAttribute("failures", QString::number(failures));
        w.writeAttribute("errors", QString::number(errors));
        if (skipped > 0)
            w.writeAttribute("skipped", QString::number(skipped));
        w.writeAttribute("time", QString::number(total, 'f', 3));
        for (const ReportCase& c : cases) {
            w.writeStartElement("testcase");
            w.writeAttribute("classname", Q(suite.name));
            w.writeAttribute("name", Q(c.name));
            if (c.run)
                w.writeAttribute("time", QString::number(c.seconds, 'f', 3));
            if (!c.properties.empty()) {
                w.writeStartElement("properties");
                for (const auto& [name, value] : c.properties) {
                    w.writeEmptyElement("property");
                    w.writeAttribute("name", Q(name));
                    w.writeAttribute("value", Q(value));
                }
                w.writeEndElement();
            }
            switch (c.state) {
                case State::Passed:
                    w.writeTextElement("system-out", Q(c.message));
                    break;
                case State::Skipped:
                    w.writeEmptyElement("skipped");
                    w.writeAttribute("message", Q(c.why));
                    break;
                case State::Failed:
                    w.writeStartElement("failure");
                    w.writeAttribute("message", Q(CaseFailureText(c)));
                    w.writeAttribute("type", Q(c.word));
                    w.writeCharacters(Q(c.detail));
                    w.writeEndElement();
                    break;
                case State::Error:
                case State::Interrupted:
                    w.writeStartElement("error");
                    w.writeAttribute("message", Q(c.why));
                    if (c.state == State::Interrupted)
                        w.writeAttribute("type", "interrupted");
                    w.writeCharacters(Q(c.detail));
                    w.writeEndElement();
                    break;
            }
            w.writeEndElement();
        }
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndDocument();
    return xml.toStdString();
}
