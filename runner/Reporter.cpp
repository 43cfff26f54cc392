#include "runner/Reporter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

#include "runner/HtmlReport.h"
#include "runner/Report.h"
#include "runner/TestKind.h"

namespace {

// Writes whole lines to `sink`, each prefixed, under the reporter's lock: the lines of stations
// that run at once never mix within a line.
class PrefixedLines : public std::streambuf {
public:
    PrefixedLines(std::ostream& sink, std::string prefix, std::mutex& lock)
        : m_sink(sink), m_prefix(std::move(prefix)), m_lock(lock) {}

protected:
    int overflow(int c) override {
        if (c == traits_type::eof())
            return 0;
        m_line.push_back(static_cast<char>(c));
        if (c == '\n')
            Emit();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i)
            overflow(static_cast<unsigned char>(s[i]));
        return n;
    }
    // A progress line redrawn in place ends with no line feed: it waits for its line.
    int sync() override { return 0; }

private:
    void Emit() {
        std::lock_guard lock(m_lock);
        m_sink << m_prefix << m_line << std::flush;
        m_line.clear();
    }
    std::ostream& m_sink;
    std::string m_prefix;
    std::mutex& m_lock;
    std::string m_line;
};

}  // namespace

class Reporter::Sink : public Reporter::StationSink {
public:
    Sink(Reporter& r, const Station& station)
        : m_r(r),
          m_station(station),
          m_outBuf(r.m_out, Prefix(station, r.m_bLone), r.m_lock),
          m_errBuf(r.m_err, Prefix(station, r.m_bLone), r.m_lock),
          // With the JSON report on standard output, that report is all that goes there.
          m_out(r.m_opt.outputs.json && r.m_opt.outputs.jsonPath.empty() ? nullptr : &m_outBuf),
          m_err(&m_errBuf),
          // A lone device's bar is redrawn in place on a terminal; a rack's stations each write
          // whole progress lines.
          m_progress(m_err, r.m_bLone && r.m_bErrTerminal) {}

    void SetPart(const std::string& label) override { m_label = label; }
    void Say(const std::string& line) override { m_out << line << "\n"; }
    void Note(const std::string& line) override { m_err << line << "\n"; }
    void Failed(const SessionError& e) override {
        m_err << "vaskel-passthrough: " << e.text << "\n";
        if (!e.detail.empty())
            m_err << "  " << e.detail << "\n";
    }
    void RemoteApplied(const SessionReport& report) override {
        m_out << RemoteAppliedLine(report) << "\n";
    }
    void ServerAccepted(const SessionReport& report) override {
        m_out << ServerWaitLine(report) << "\n";
    }
    void TestDone(const SessionReport& report) override {
        const TestKind& kind = KindOf(report.options.test);
        for (const std::string& line : kind.SessionLines(report))
            m_out << line << "\n";
        if (report.scriptDatagrams)
            for (const std::string& line : DatagramLines(*report.scriptDatagrams, true))
                m_out << line << "\n";
        if (QJsonObject line = kind.SessionJsonLine(report); !line.isEmpty()) {
            // A script stopped by a signal is told before the session marks itself interrupted.
            const bool stopped =
                report.script && report.script->state == ScriptOutcome::State::Stopped;
            if (!line.contains("exit_code"))
                line["exit_code"] = stopped ? int(EXIT_INTERRUPTED) : SessionExitCode(report);
            m_r.JsonLine(m_station, m_label, std::move(line));
        }
    }
    void RunDone(const SessionReport& report) override {
        const RunReport& run = report.runs.back();
        m_progress.End();
        for (const std::string& line : RunLines(run, report.plannedRuns))
            m_out << line << "\n";
        if (!run.interrupted && !run.latency && RunExitCode(run) != EXIT_VERIFIED &&
            !run.outcome.detail.empty())
            m_err << "  " << run.outcome.detail << "\n";
        m_r.JsonLine(m_station, m_label, RunObject(run));
    }
    void UdpLinkUp(const SessionReport& report) override { m_out << UdpLinkLine(report) << "\n"; }
    ProgressLine& Progress() override { return m_progress; }

private:
    static std::string Prefix(const Station& s, bool lone) {
        return lone || s.name.empty() ? "" : "[" + s.name + "] ";
    }
    Reporter& m_r;
    Station m_station;
    std::string m_label;
    PrefixedLines m_outBuf, m_errBuf;
    std::ostream m_out, m_err;
    ProgressLine m_progress;
};

Reporter::Reporter(const RunnerOptions& options, std::ostream& out, std::ostream& err,
                   bool errIsTerminal, bool lone)
    : m_opt(options), m_out(out), m_err(err), m_bErrTerminal(errIsTerminal), m_bLone(lone) {}

Reporter::~Reporter() = default;

void Reporter::Told(const std::string& text, const std::string& detail, const Station* station) {
    const std::string prefix =
        station && !m_bLone && !station->name.empty() ? "[" + station->name + "] " : "";
    std::lock_guard lock(m_lock);
    m_err << prefix << "vaskel-passthrough: " << text << "\n";
    if (!detail.empty())
        m_err << prefix << "  " << detail << "\n";
    m_err << std::flush;
}

bool Reporter::Begin() {
    if (m_opt.outputs.jsonlPath.empty())
        return true;
    m_jsonl.open(m_opt.outputs.jsonlPath, std::ios::out | std::ios::trunc);
    if (m_jsonl)
        return true;
    Told("Can't write the JSON lines report",
         m_opt.outputs.jsonlPath + ": " + std::strerror(errno));
    return false;
}

std::unique_ptr<Reporter::StationSink> Reporter::SinkFor(const Station& station) {
    return std::make_unique<Sink>(*this, station);
}

void Reporter::JsonLine(const Station& station, const std::string& label, QJsonObject j) {
    if (!m_jsonl.is_open())
        return;
    j.insert("station", QString::fromStdString(station.name));
    j.insert("setting", QString::fromStdString(label));
    const std::string line = QJsonDocument(j).toJson(QJsonDocument::Compact).toStdString() + "\n";
    std::lock_guard lock(m_lock);
    errno = 0;
    m_jsonl << line << std::flush;
    if (!m_jsonl && !m_jsonlFailed) {
        m_jsonlFailed = true;
        m_err << "vaskel-passthrough: Can't write the JSON lines report\n  "
              << m_opt.outputs.jsonlPath << ": " << std::strerror(errno != 0 ? errno : EIO) << "\n"
              << std::flush;
    }
}

int Reporter::Finish(const std::vector<StationResult>& results, int code, bool interrupted) {
    QJsonValue reportError;  // the first report that could not be written, for the JSON report
    auto lost = [&](const std::string& text, const std::string& detail) {
        Told(text, detail);
        if (reportError.isNull())
            reportError = QJsonObject{{"text", QString::fromStdString(text)},
                                      {"detail", QString::fromStdString(detail)}};
        if (code == EXIT_VERIFIED)
            code = EXIT_NOT_STORED;
    };
    if (m_jsonl.is_open()) {
        m_jsonl.close();
        if (m_jsonlFailed)
            lost("Can't write the JSON lines report",
                 m_opt.outputs.jsonlPath + ": not every run is in it");
    }
    // One device with one setting gets the single-session forms of every report.
    const bool single = m_bLone && results.size() == 1 && results.front().parts.size() == 1;
    if (!m_opt.outputs.junitPath.empty()) {
        std::vector<JUnitSuite> suites;
        for (const StationResult& r : results) {
            JUnitSuite suite{
                m_bLone || r.station.name.empty() ? "vaskel-passthrough" : r.station.name, {}};
            for (const StationResult::Part& p : r.parts)
                suite.parts.push_back({&p.report, single ? std::string() : p.label});
            suites.push_back(std::move(suite));
        }
        std::string reason;
        if (!WriteWholeFile(m_opt.outputs.junitPath, JUnitSuitesXml(suites), &reason))
            lost("Can't write the JUnit report", m_opt.outputs.junitPath + ": " + reason);
    }
    if (!m_opt.outputs.reportPath.empty()) {
        const std::string page = single ? HtmlReport(results.front().parts.front().report)
                                        : RackHtmlReport(results, code, interrupted, m_bLone);
        std::string reason;
        if (!WriteWholeFile(m_opt.outputs.reportPath, page, &reason))
            lost("Can't write the HTML report", m_opt.outputs.reportPath + ": " + reason);
    }
    if (m_opt.outputs.json) {
        QJsonObject root;
        if (single) {
            root = JsonReportObject(results.front().parts.front().report);
            root["exit_code"] = code;
            if (root["error"].isNull())
                root["error"] = reportError;
        } else {
            QJsonArray stations;
            for (const StationResult& r : results) {
                QJsonArray settings;
                for (const StationResult::Part& p : r.parts) {
                    QJsonObject s = JsonReportObject(p.report);
                    s.insert("setting", QString::fromStdString(p.label));
                    settings.append(s);
                }
                stations.append(QJsonObject{
                    {"name", QString::fromStdString(r.station.name)},
                    {"serial", QString::fromStdString(r.station.serial)},
                    {"exit_code", r.exitCode},
                    {"settings", settings},
                });
            }
            root = QJsonObject{
                {"program", "vaskel-passthrough"},
                {"exit_code", code},
                {"interrupted", interrupted},
                {"error", reportError},
                {"stations", stations},
            };
        }
        const std::string text = QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
        if (!m_opt.outputs.jsonPath.empty()) {
            std::string reason;
            if (!WriteWholeFile(m_opt.outputs.jsonPath, text, &reason))
                lost("Can't write the JSON report", m_opt.outputs.jsonPath + ": " + reason);
        } else {
            // Every station has ended: nothing else writes to standard output now.
            errno = 0;
            m_out << text << std::flush;
            if (!m_out) {
                const int error = errno != 0 ? errno : EIO;
                lost("Can't write the JSON report",
                     std::string("standard output: ") + std::strerror(error));
            }
        }
    }
    return code;
}
