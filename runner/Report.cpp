#include "runner/Report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QXmlStreamWriter>

#include <cstdio>
#include <functional>

#include "transfer/PassVerdict.h"

namespace {

using End = PassOutcome::End;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// The capture's link: a serial-to-net run captures on the network link.
std::string CaptureLinkTimeout(const PassOutcome& out) {
    return out.direction == PassDirection::SerialToNet ? "Network Timeout" : "Serial Timeout";
}

std::string ShortText(const PassOutcome& out) {
    return "short capture, " + std::to_string(out.stored) + " of " + std::to_string(out.sent) +
           " bytes stored";
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

// A latency run's test case: its figures as properties, a failure with what went wrong.
void WriteLatencyCase(QXmlStreamWriter& w, const QString& classname, const QString& name,
                      const LatencyFigures& f) {
    w.writeStartElement("testcase");
    w.writeAttribute("classname", classname);
    w.writeAttribute("name", name);
    w.writeAttribute("time", QString::number(f.seconds, 'f', 3));
    w.writeStartElement("properties");
    const QJsonObject figures = LatencyJson(f);
    // Nested objects flattened: "frames.lost", "latency_ms.p99", "reads.gap_ms.max"...
    std::function<void(const QString&, const QJsonValue&)> put = [&](const QString& name,
                                                                     const QJsonValue& v) {
        if (v.isObject()) {
            const QJsonObject o = v.toObject();
            for (auto it = o.begin(); it != o.end(); ++it)
                put(name + "." + it.key(), it.value());
        } else if (v.isArray()) {
            // The read sizes: "reads.sizes" = "16:998 32:1".
            QStringList parts;
            for (const QJsonValue& e : v.toArray())
                parts << QString("%1:%2")
                             .arg(e.toObject()["bytes"].toInteger())
                             .arg(e.toObject()["count"].toInteger());
            w.writeEmptyElement("property");
            w.writeAttribute("name", name);
            w.writeAttribute("value", parts.join(' '));
        } else if (!v.isNull()) {
            w.writeEmptyElement("property");
            w.writeAttribute("name", name);
            w.writeAttribute("value", v.isDouble() ? QString::number(v.toDouble(), 'g', 10)
                                                   : v.toVariant().toString());
        }
    };
    for (auto it = figures.begin(); it != figures.end(); ++it)
        if (it.key() != "message" && it.key() != "problems")
            put(it.key(), it.value());
    w.writeEndElement();
    if (LatencyExitCode(f) != EXIT_VERIFIED) {
        const std::string problems = LatencyProblems(f);
        w.writeStartElement("failure");
        w.writeAttribute("message", Q(problems.empty() ? LatencyMessage(f)
                                                       : LatencyMessage(f) + "; " + problems));
        w.writeAttribute("type", Q(LatencyResultWord(f)));
        w.writeEndElement();
    } else {
        w.writeTextElement("system-out", Q(LatencyMessage(f)));
    }
    w.writeEndElement();
}

}  // namespace

int RunExitCode(const PassOutcome& out) {
    if (out.Verified())
        return EXIT_VERIFIED;
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

int RunExitCode(const RunReport& run) {
    return run.latency ? LatencyExitCode(*run.latency) : RunExitCode(run.outcome);
}

int SessionExitCode(const SessionReport& report) {
    if (report.interrupted)
        return EXIT_INTERRUPTED;
    if (report.error)
        return report.error->exitCode;
    if (report.lines && !report.lines->Ok())
        return EXIT_MISMATCH;
    for (const RunReport& run : report.runs)
        if (const int code = RunExitCode(run); code != EXIT_VERIFIED)
            return code;
    return EXIT_VERIFIED;
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

std::string SummaryLine(const RunReport& run, int plannedRuns) {
    if (run.latency)
        return "run " + std::to_string(run.number) + "/" + std::to_string(plannedRuns) + " " +
               DirectionName(run.latency->direction) + ": " + LatencyMessage(*run.latency);
    std::string line = "run " + std::to_string(run.number) + "/" + std::to_string(plannedRuns) +
                       " " + DirectionName(run.outcome.direction) + ": " + RunMessage(run.outcome);
    if (run.outcome.Verified())
        line += " in " + Seconds(run.outcome.seconds) + " s";
    return line;
}

std::string DiagnosisLine(const PassOutcome& outcome) {
    return outcome.diagnosis.empty() ? std::string() : "diagnosis: " + outcome.diagnosis;
}

std::string FailureMessage(const PassOutcome& outcome) {
    const std::string diagnosis = DiagnosisLine(outcome);
    return diagnosis.empty() ? RunMessage(outcome) : RunMessage(outcome) + "; " + diagnosis;
}

std::string RemoteAppliedLine(const SessionReport& report) {
    return "rfc2217: the device server applied " + report.options.settings.Readable();
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

namespace {

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

// One run's figures, as the JSON reports give them.
QJsonObject RunObject(const RunReport& run) {
    if (run.latency) {
        QJsonObject j = LatencyJson(*run.latency);
        j["run"] = run.number;
        if (run.interrupted) {
            j["result"] = "interrupted";
            j["exit_code"] = int(EXIT_INTERRUPTED);
        }
        return j;
    }
    const PassOutcome& out = run.outcome;
    QJsonObject j{
        {"run", run.number},
        {"direction", DirectionName(out.direction)},
        {"result", run.interrupted ? QString("interrupted") : Q(RunResultWord(out))},
        {"message", Q(RunMessage(out))},
        {"exit_code", run.interrupted ? int(EXIT_INTERRUPTED) : RunExitCode(out)},
        {"bytes_announced",
         out.announced >= 0 ? QJsonValue(static_cast<qint64>(out.announced)) : QJsonValue()},
        {"bytes_stored", static_cast<qint64>(out.stored)},
        {"first_mismatch",
         out.firstMismatch ? QJsonValue(static_cast<qint64>(*out.firstMismatch)) : QJsonValue()},
        {"seconds", out.seconds},
        {"bytes_per_second", out.bytesPerSecond},
    };
    if (!out.diagnosis.empty())
        j["diagnosis"] = Q(out.diagnosis);
    return j;
}

}  // namespace

std::string RunJson(const RunReport& run) {
    return QJsonDocument(RunObject(run)).toJson(QJsonDocument::Compact).toStdString();
}

std::string JsonReport(const SessionReport& r) {
    const RunnerOptions& o = r.options;
    const double line = LineBytesPerSecond(o.settings);
    QJsonObject serial{
        {"device", Q(o.serial)},
        {"baud", static_cast<qint64>(o.settings.baud)},
        {"data_bits", o.settings.dataBits},
        {"parity", QString::fromStdString(ParityWord(o.settings.parity))},
        {"stop_bits", o.settings.stopBits == StopBits::Two ? 2 : 1},
        {"flow", QString::fromStdString(FlowWord(o.settings.flow))},
        {"real_baud_rate", r.realBaud},
        {"line_bytes_per_second", r.realBaud ? QJsonValue(line) : QJsonValue()},
    };
    QJsonObject network{
        {"mode", o.net == RunnerOptions::Net::Connect ? "connect" : "listen"},
        {"port", static_cast<qint64>(o.port)},
        {"framing", o.rfc2217 ? "rfc2217" : "raw"},
    };
    if (o.net == RunnerOptions::Net::Connect)
        network["address"] = Q(o.host);
    QJsonObject data{{"path", Q(r.source)}, {"bytes", static_cast<qint64>(r.bytes)}};
    if (o.test == RunnerOptions::Test::Latency) {
        data = QJsonObject{{"source", "frames"},
                           {"frames", o.frames},
                           {"frame_size", o.frameSize},
                           {"interval_ms", o.intervalMs}};
    } else if (o.randomSize > 0) {
        data["source"] = "random";
        data["seed"] = static_cast<qint64>(o.seed);
    } else {
        data["source"] = "file";
    }
    QJsonArray runs;
    for (const RunReport& run : r.runs) {
        QJsonObject j = RunObject(run);
        if (run.latency) {
            runs.append(j);
            continue;
        }
        if (r.realBaud) {
            j["line_bytes_per_second"] = line;
            j["line_share"] = line > 0 ? run.outcome.bytesPerSecond / line : 0.0;
        }
        runs.append(j);
    }
    const bool lines = o.test == RunnerOptions::Test::Lines;
    QJsonObject root{
        {"program", "vaskel-passthrough"},
        {"test", lines ? "lines" : "passthrough"},
        {"exit_code", SessionExitCode(r)},
        {"serial", serial},
        {"network", network},
        {"data", lines ? QJsonValue() : QJsonValue(data)},
        {"rfc2217", RemoteJson(r.remote)},
        {"lines", LinesJson(r.lines)},
        {"planned_runs", r.plannedRuns},
        {"runs", runs},
        {"error", r.error ? QJsonValue(QJsonObject{{"text", Q(r.error->text)},
                                                   {"detail", Q(r.error->detail)}})
                          : QJsonValue()},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

namespace {

// One test suite: a setup case for each session error, then a case for each run.
// A session error is a "setup" case of its own, except the device server's refusal of the serial
// settings, which its "rfc2217 settings" case carries.
bool SetupError(const SessionReport& r) {
    return r.error && !(r.remote && !r.remote->Ok() && r.error->exitCode == EXIT_CONTROL_PATH);
}

void WriteSuite(QXmlStreamWriter& w, const JUnitSuite& suite) {
    int tests = 0, failures = 0, errors = 0;
    double total = 0;
    for (const JUnitSuite::Part& p : suite.parts) {
        const SessionReport& r = *p.report;
        const bool stoppedEarly = r.interrupted && r.runs.empty() && !r.error;
        tests += static_cast<int>(r.runs.size()) + (SetupError(r) ? 1 : 0) + stoppedEarly;
        errors += (SetupError(r) ? 1 : 0) + stoppedEarly;
        if (r.remote) {
            ++tests;
            failures += !r.remote->Ok();
        }
        if (r.lines) {
            tests += static_cast<int>(r.lines->lines.size());
            for (const LineFollowReport& l : r.lines->lines)
                failures += !l.Ok();
        }
        for (const RunReport& run : r.runs) {
            errors += run.interrupted;
            failures += !run.interrupted && RunExitCode(run) != EXIT_VERIFIED;
            total += run.latency ? run.latency->seconds : run.outcome.seconds;
        }
    }
    w.writeStartElement("testsuite");
    w.writeAttribute("name", Q(suite.name));
    w.writeAttribute("tests", QString::number(tests));
    w.writeAttribute("failures", QString::number(failures));
    w.writeAttribute("errors", QString::number(errors));
    w.writeAttribute("time", QString::number(total, 'f', 3));
    for (const JUnitSuite::Part& p : suite.parts) {
        const SessionReport& r = *p.report;
        const QString prefix = p.label.empty() ? QString() : Q(p.label) + " ";
        if (r.interrupted && r.runs.empty() && !r.error) {  // stopped early
            w.writeStartElement("testcase");
            w.writeAttribute("classname", Q(suite.name));
            w.writeAttribute("name", prefix + "setup");
            w.writeStartElement("error");
            w.writeAttribute("message", "interrupted: SIGINT or SIGTERM came before the first run");
            w.writeAttribute("type", "interrupted");
            w.writeEndElement();
            w.writeEndElement();
        }
        if (SetupError(r)) {
            w.writeStartElement("testcase");
            w.writeAttribute("classname", Q(suite.name));
            w.writeAttribute("name", prefix + "setup");
            w.writeStartElement("error");
            w.writeAttribute("message", Q(r.error->text));
            w.writeCharacters(Q(r.error->detail));
            w.writeEndElement();
            w.writeEndElement();
        }
        if (r.remote) {
            w.writeStartElement("testcase");
            w.writeAttribute("classname", Q(suite.name));
            w.writeAttribute("name", prefix + "rfc2217 settings");
            if (!r.remote->Ok()) {
                w.writeStartElement("failure");
                w.writeAttribute("message", Q(r.remote->FailureText()));
                w.writeAttribute("type", r.remote->NotRfc2217() ? "not-rfc2217" : "settings");
                std::string body;
                for (const std::string& f : r.remote->Failures())
                    body += f + "\n";
                w.writeCharacters(Q(body));
                w.writeEndElement();
            } else {
                w.writeTextElement("system-out", Q(RemoteAppliedLine(r)));
            }
            w.writeEndElement();
        }
        if (r.lines) {
            for (const LineFollowReport& l : r.lines->lines) {
                w.writeStartElement("testcase");
                w.writeAttribute("classname", Q(suite.name));
                w.writeAttribute(
                    "name",
                    prefix + Q("lines " + std::string(l.remote ? "remote " : "") + l.driven));
                if (!l.Ok()) {
                    w.writeStartElement("failure");
                    w.writeAttribute("message", Q(l.Summary()));
                    w.writeAttribute("type", "lines");
                    w.writeEndElement();
                } else {
                    w.writeTextElement("system-out", Q(l.Summary()));
                }
                w.writeEndElement();
            }
        }
        for (const RunReport& run : r.runs) {
            const PassOutcome& out = run.outcome;
            const PassDirection direction = run.latency ? run.latency->direction : out.direction;
            // Alone: "run 1 serial-to-net"; in a rack: "serial-to-net 115200 8N1", with the run's
            // number when the runs repeat.
            QString name = QString("run %1 %2").arg(run.number).arg(DirectionName(direction));
            if (!p.label.empty()) {
                name = QString("%1 %2").arg(DirectionName(direction), Q(p.label));
                if (r.options.repeat > 1)
                    name += QString(" run %1").arg(run.number);
            }
            if (run.latency && !run.interrupted) {
                WriteLatencyCase(w, Q(suite.name), name, *run.latency);
                continue;
            }
            w.writeStartElement("testcase");
            w.writeAttribute("classname", Q(suite.name));
            w.writeAttribute("name", name);
            w.writeAttribute("time", QString::number(out.seconds, 'f', 3));
            if (run.interrupted) {
                w.writeStartElement("error");
                w.writeAttribute("message", "interrupted: SIGINT or SIGTERM ended the run");
                w.writeAttribute("type", "interrupted");
                w.writeEndElement();
            } else if (RunExitCode(out) != EXIT_VERIFIED) {
                w.writeStartElement("failure");
                w.writeAttribute("message", Q(FailureMessage(out)));
                w.writeAttribute("type", Q(RunResultWord(out)));
                w.writeCharacters(Q(out.detail));
                w.writeEndElement();
            } else {
                w.writeTextElement("system-out", Q(RunMessage(out)));
            }
            w.writeEndElement();
        }
    }
    w.writeEndElement();
}

}  // namespace

std::string JUnitSuitesXml(const std::vector<JUnitSuite>& suites) {
    QString xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement("testsuites");
    for (const JUnitSuite& suite : suites)
        WriteSuite(w, suite);
    w.writeEndElement();
    w.writeEndDocument();
    return xml.toStdString();
}

std::string JUnitReport(const SessionReport& r) {
    return JUnitSuitesXml({{"vaskel-passthrough", {{&r, ""}}}});
}

void ProgressLine::Begin(const std::string& label) {
    m_label = label;
    m_nPercent = 0;
    m_bDrawn = false;
    m_tLast = {};
}

void ProgressLine::Update(int percent, const std::string& bytesText) {
    m_nPercent = percent;
    const auto now = std::chrono::steady_clock::now();
    const auto interval = std::chrono::milliseconds(m_bTerminal ? 100 : 1000);
    if (m_bDrawn && now - m_tLast < interval && percent < 100)
        return;
    m_tLast = now;
    m_bDrawn = true;
    if (!m_bTerminal) {
        m_err << m_label << ": " << bytesText << " (" << percent << "%)\n" << std::flush;
        return;
    }
    constexpr int WIDTH = 30;
    const int filled = percent * WIDTH / 100;
    m_err << "\r" << m_label << " [" << std::string(static_cast<size_t>(filled), '#')
          << std::string(static_cast<size_t>(WIDTH - filled), ' ') << "] " << percent << "% "
          << bytesText << "\x1b[K" << std::flush;
}

void ProgressLine::End() {
    if (m_bTerminal && m_bDrawn)
        m_err << "\r\x1b[K" << std::flush;
    m_bDrawn = false;
}
