#include "runner/Rack.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "runner/HtmlReport.h"
#include "runner/Session.h"
#include "runner/Stations.h"

namespace {

// How long a station waits between two settings of a sweep: a device server that serves one
// client at a time refuses the next connection for a moment after the last one closed.
constexpr int SWEEP_PAUSE_MS = 150;

// Writes whole lines to `sink`, each prefixed, under the rack's lock: the lines of stations that
// run at once never mix within a line.
class PrefixedLines : public std::streambuf {
public:
    PrefixedLines(std::ostream& sink, std::string prefix, std::mutex& lock)
        : m_sink(sink), m_prefix(std::move(prefix)), m_lock(lock) {}
    ~PrefixedLines() override { sync(); }

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
    int sync() override {
        // A progress line redrawn in place ends with no line feed: it waits for its line.
        return 0;
    }

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

// "traffic.log" for station "st1" and setting 2: "traffic-st1-2.log" (no setting number
// without a sweep, no name for a lone device).
std::string StationFile(const std::string& path, const std::string& name, int setting) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    std::string tag = name.empty() ? "" : "-" + name;
    if (setting > 0)
        tag += "-" + std::to_string(setting);
    return hasExt ? path.substr(0, dot) + tag + path.substr(dot) : path + tag;
}

QJsonValue ParseJson(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

}  // namespace

Rack::Rack(const RunnerOptions& options, std::ostream& out, std::ostream& err)
    : m_opt(options), m_out(out), m_err(err) {
    m_settings = SweepSettings(m_opt.settings, m_opt.sweeps);
    std::vector<Station> stations = m_opt.stations;
    if (stations.empty()) {
        stations.push_back(
            {"", m_opt.serial, m_opt.net == RunnerOptions::Net::Listen, m_opt.host, m_opt.port});
    }
    for (Station& s : stations)
        m_results.push_back({std::move(s), {}, EXIT_VERIFIED});
    m_sessions.assign(m_results.size(), nullptr);
}

Rack::~Rack() = default;

void Rack::RequestStop() {
    std::lock_guard lock(m_lock);
    m_stopped = true;
    for (PassSession* s : m_sessions)
        if (s)
            s->RequestStop();
    m_wake.notify_all();
}

int Rack::Run() {
    if (!m_opt.jsonlPath.empty()) {
        m_jsonl.open(m_opt.jsonlPath, std::ios::out | std::ios::trunc);
        if (!m_jsonl) {
            m_err << "vaskel-passthrough: Can't write the JSON lines report\n  " << m_opt.jsonlPath
                  << ": " << std::strerror(errno) << "\n"
                  << std::flush;
            return EXIT_NOT_STORED;
        }
    }
    // Every station on a thread of its own, each thread with its own event loop and engine.
    std::vector<QThread*> threads;
    QEventLoop loop;
    size_t running = m_results.size();
    for (size_t k = 0; k < m_results.size(); ++k) {
        QThread* t = QThread::create([this, k] { RunStation(k); });
        QObject::connect(t, &QThread::finished, &loop, [&] {
            if (--running == 0)
                loop.quit();
        });
        threads.push_back(t);
    }
    for (QThread* t : threads)
        t->start();
    loop.exec();
    for (QThread* t : threads) {
        t->wait();  // finished already: this returns at once
        delete t;
    }
    int code = EXIT_VERIFIED;
    if (m_stopped) {
        code = EXIT_INTERRUPTED;
    } else {
        for (const StationResult& r : m_results)
            if (r.exitCode != EXIT_VERIFIED) {
                code = r.exitCode;
                break;
            }
    }
    return WriteReports(code);
}

void Rack::RunStation(size_t index) {
    StationResult& result = m_results[index];
    const Station& station = result.station;
    const std::string prefix = station.name.empty() ? "" : "[" + station.name + "] ";
    PrefixedLines outBuf(m_out, prefix, m_lock), errBuf(m_err, prefix, m_lock);
    // With --json the rack's report is all that goes to standard output, as with one device.
    std::ostream out(m_opt.json ? nullptr : &outBuf), err(&errBuf);
    for (size_t k = 0; k < m_settings.size(); ++k) {
        {
            std::unique_lock lock(m_lock);
            if (k > 0)
                m_wake.wait_for(lock, std::chrono::milliseconds(SWEEP_PAUSE_MS),
                                [this] { return m_stopped; });
            if (m_stopped)
                break;
        }
        RunnerOptions o = m_opt;
        o.serial = station.serial;
        o.net = station.listen ? RunnerOptions::Net::Listen : RunnerOptions::Net::Connect;
        o.host = station.host;
        o.port = station.port;
        o.settings = m_settings[k];
        o.json = false;  // the rack writes the reports of all its stations
        o.junitPath.clear();
        o.reportPath.clear();
        o.jsonlPath.clear();
        // Each station's sessions log to a file of their own beside the one asked for.
        if (!o.logPath.empty())
            o.logPath = StationFile(m_opt.logPath, station.name,
                                    m_settings.size() > 1 ? static_cast<int>(k) + 1 : 0);
        o.stations.clear();
        o.sweeps.clear();
        StationResult::Part part{m_settings[k], SettingLabel(m_settings[k]), {}, EXIT_VERIFIED};
        if (m_settings.size() > 1)
            out << "setting " << part.label << "\n";
        PassSession session(o, out, err, false);
        session.SetRunListener([&](const RunReport& run) { WriteJsonLine(result, part, run); });
        {
            std::lock_guard lock(m_lock);
            if (m_stopped)
                break;
            m_sessions[index] = &session;
        }
        part.exitCode = session.Run();
        {
            std::lock_guard lock(m_lock);
            m_sessions[index] = nullptr;
        }
        part.report = session.Report();
        if (result.exitCode == EXIT_VERIFIED)
            result.exitCode = part.exitCode;
        result.parts.push_back(std::move(part));
    }
}

void Rack::WriteJsonLine(const StationResult& station, const StationResult::Part& part,
                         const RunReport& run) {
    if (!m_jsonl.is_open())
        return;
    QJsonObject j = ParseJson(RunJson(run)).toObject();
    j.insert("station", QString::fromStdString(station.station.name));
    j.insert("setting", QString::fromStdString(part.label));
    const std::string line = QJsonDocument(j).toJson(QJsonDocument::Compact).toStdString() + "\n";
    std::lock_guard lock(m_lock);
    m_jsonl << line << std::flush;
    if (!m_jsonl && !m_jsonlFailed) {
        m_jsonlFailed = true;
        m_err << "vaskel-passthrough: Can't write the JSON lines report\n  " << m_opt.jsonlPath
              << ": " << std::strerror(errno != 0 ? errno : EIO) << "\n"
              << std::flush;
    }
}

int Rack::WriteReports(int code) {
    auto lost = [&](const std::string& text, const std::string& detail) {
        m_err << "vaskel-passthrough: " << text << "\n  " << detail << "\n" << std::flush;
        if (code == EXIT_VERIFIED)
            code = EXIT_NOT_STORED;
    };
    if (m_jsonl.is_open()) {
        m_jsonl.close();
        if (m_jsonlFailed)
            lost("Can't write the JSON lines report", m_opt.jsonlPath + ": not every run is in it");
    }
    if (!m_opt.junitPath.empty()) {
        std::vector<JUnitSuite> suites;
        for (const StationResult& r : m_results) {
            JUnitSuite suite{r.station.name.empty() ? "vaskel-passthrough" : r.station.name, {}};
            for (const StationResult::Part& p : r.parts)
                suite.parts.push_back({&p.report, p.label});
            suites.push_back(std::move(suite));
        }
        std::string reason;
        if (!WriteWholeFile(m_opt.junitPath, JUnitSuitesXml(suites), &reason))
            lost("Can't write the JUnit report", m_opt.junitPath + ": " + reason);
    }
    if (!m_opt.reportPath.empty()) {
        std::string reason;
        if (!WriteWholeFile(m_opt.reportPath, RackHtmlReport(m_results, code, m_stopped), &reason))
            lost("Can't write the HTML report", m_opt.reportPath + ": " + reason);
    }
    if (m_opt.json) {
        QJsonArray stations;
        for (const StationResult& r : m_results) {
            QJsonArray settings;
            for (const StationResult::Part& p : r.parts) {
                QJsonObject s = ParseJson(JsonReport(p.report)).toObject();
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
        const QJsonObject root{
            {"program", "vaskel-passthrough"},
            {"exit_code", code},
            {"interrupted", m_stopped},
            {"stations", stations},
        };
        m_out << QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString() << std::flush;
    }
    return code;
}
