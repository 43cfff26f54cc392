// Every run of vaskel-passthrough: one device, or many stations at once, each through a setting
// sweep. Each station runs its sessions on a thread of its own with an engine of its own, so one
// station's failure never touches another; the calling thread keeps its event loop going (and so
// hears SIGINT and SIGTERM at once). One device is a rack of one station with no name.
#pragma once

#include <QObject>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "runner/Options.h"
#include "runner/Results.h"

class PassSession;
class Reporter;

class Rack {
public:
    // `options.stations` empty: the one device of the options, its lines not prefixed.
    Rack(const RunnerOptions& options, std::ostream& out, std::ostream& err, bool errIsTerminal);
    ~Rack();
    // Runs every station to its end and writes the reports; returns the exit code: 0 when every
    // station passed, EXIT_INTERRUPTED after a stop, else the code of the first failing station
    // in the order given.
    int Run();
    // Any thread: ends every station's run at once, and nothing more is started.
    void RequestStop();
    const std::vector<StationResult>& Results() const { return m_results; }

private:
    void RunStation(size_t index);

    RunnerOptions m_opt;
    bool m_bLone;                          // one device, not a rack of named stations
    std::unique_ptr<Reporter> m_reporter;  // writes every line and every report
    std::vector<LineSettings> m_settings;  // the sweep's combinations, in order
    std::vector<StationResult> m_results;  // one a station, each written by its own thread

    std::mutex m_lock;  // guards m_stopped and m_sessions
    std::condition_variable m_wake;
    bool m_stopped = false;
    std::vector<PassSession*> m_sessions;  // the session each station runs now, or null
};
