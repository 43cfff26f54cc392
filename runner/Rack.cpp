#include "runner/Rack.h"

#include <QEventLoop>
#include <QThread>

#include "runner/Report.h"
#include "runner/Reporter.h"
#include "runner/Session.h"
#include "runner/Stations.h"

namespace {

// How long a station waits between two settings of a sweep: a device server that serves one
// client at a time refuses the next connection for a moment after the last one closed.
constexpr int SWEEP_PAUSE_MS = 150;

// The options of one station's session at one setting.
RunnerOptions SessionOptions(const RunnerOptions& all, const Station& station,
                             const LineSettings& settings, int setting) {
    RunnerOptions o = all;
    o.serial = station.serial;
    o.link.mode = station.listen ? RunnerOptions::Net::Listen : RunnerOptions::Net::Connect;
    o.link.host = station.host;
    o.link.hostName = station.hostName;
    o.link.port = station.port;
    o.settings = settings;
    // Each station's sessions log to a file of their own beside the one asked for.
    if (!o.outputs.logPath.empty())
        o.outputs.logPath = StationFile(all.outputs.logPath, station.name, setting);
    o.stations.clear();
    o.sweeps.clear();
    return o;
}

}  // namespace

Rack::Rack(const RunnerOptions& options, std::ostream& out, std::ostream& err, bool errIsTerminal)
    : m_opt(options), m_bLone(options.stations.empty()) {
    m_reporter = std::make_unique<Reporter>(options, out, err, errIsTerminal, m_bLone);
    m_settings = SweepSettings(m_opt.settings, m_opt.sweeps);
    std::vector<Station> stations = m_opt.stations;
    if (stations.empty())
        stations.push_back({"", m_opt.serial, m_opt.link.mode == RunnerOptions::Net::Listen,
                            m_opt.link.host, m_opt.link.hostName, m_opt.link.port});
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
    if (!m_reporter->Begin())
        return EXIT_NOT_STORED;
    if (m_bLone && m_opt.link.mode == RunnerOptions::Net::Connect &&
        m_opt.link.hostName != m_opt.link.host)
        m_reporter->Told(std::string(m_opt.link.udp ? "sending datagrams to " : "connecting to ") +
                             m_opt.link.host + ":" + std::to_string(m_opt.link.port) + " (" +
                             m_opt.link.hostName + ")",
                         "");
    // Every station on a thread of its own, each thread with its own event loop and engine.
    std::vector<std::unique_ptr<QThread>> threads;
    QEventLoop loop;
    size_t running = 0;
    for (size_t k = 0; k < m_results.size(); ++k) {
        std::unique_ptr<QThread> t(QThread::create([this, k] { RunStation(k); }));
        QObject::connect(t.get(), &QThread::finished, &loop, [&] {
            if (--running == 0)
                loop.quit();
        });
        t->start();
        if (!t->isRunning() && !t->isFinished()) {
            // The system would not make the thread (a limit on threads or memory): this station
            // fails on its own, the others go on.
            StationResult& r = m_results[k];
            StationResult::Part part{m_settings.front(), SettingLabel(m_settings.front()), {}, 0};
            part.report.options = SessionOptions(m_opt, r.station, m_settings.front(), 0);
            part.report.error = SessionError{
                EXIT_NOT_STORED, "Can't start the station's thread",
                "the system refused a new thread: check the limits on threads (ulimit -u) and "
                "the free memory"};
            part.exitCode = r.exitCode = EXIT_NOT_STORED;
            r.parts.push_back(std::move(part));
            m_reporter->Told(r.parts.back().report.error->text, r.parts.back().report.error->detail,
                             &r.station);
            continue;
        }
        ++running;
        threads.push_back(std::move(t));
    }
    if (running > 0)
        loop.exec();
    for (std::unique_ptr<QThread>& t : threads)
        t->wait();  // finished already: this returns at once
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
    return m_reporter->Finish(m_results, code, m_stopped);
}

void Rack::RunStation(size_t index) {
    StationResult& result = m_results[index];
    const Station& station = result.station;
    std::unique_ptr<Reporter::StationSink> sink = m_reporter->SinkFor(station);
    for (size_t k = 0; k < m_settings.size(); ++k) {
        const int setting = m_settings.size() > 1 ? static_cast<int>(k) + 1 : 0;
        StationResult::Part part{m_settings[k], SettingLabel(m_settings[k]), {}, EXIT_VERIFIED};
        const RunnerOptions o = SessionOptions(m_opt, station, m_settings[k], setting);
        bool stopped = false;
        {
            std::unique_lock lock(m_lock);
            if (k > 0)
                m_wake.wait_for(lock, std::chrono::milliseconds(SWEEP_PAUSE_MS),
                                [this] { return m_stopped; });
            stopped = m_stopped;
        }
        if (stopped) {
            // A station stopped before its first session still reports that it was stopped.
            if (k == 0) {
                part.report.options = o;
                part.report.interrupted = true;
                part.exitCode = result.exitCode = EXIT_INTERRUPTED;
                result.parts.push_back(std::move(part));
            }
            break;
        }
        sink->SetPart(part.label);
        if (m_settings.size() > 1)
            sink->Say("setting " + part.label);
        PassSession session(o, *sink);
        {
            std::lock_guard lock(m_lock);
            m_sessions[index] = &session;
            if (m_stopped)
                session.RequestStop();
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
