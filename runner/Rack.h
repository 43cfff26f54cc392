// Many stations at once, each through a setting sweep: every station runs its sessions on a
// thread of its own with an engine of its own, so one station's failure never touches another.
// Output lines are prefixed with the station's name; the reports gather every station.
#pragma once

#include <QObject>

#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "runner/Options.h"
#include "runner/Report.h"

class PassSession;

// One station's sessions, one a setting.
struct StationResult {
    Station station;
    struct Part {
        LineSettings settings;
        std::string label;  // "115200 8N1"
        SessionReport report;
        int exitCode = EXIT_VERIFIED;
    };
    std::vector<Part> parts;
    int exitCode = EXIT_VERIFIED;  // the first failing part's, else 0
};

class Rack {
public:
    // `options.stations` empty: the one device of the options, its lines not prefixed.
    Rack(const RunnerOptions& options, std::ostream& out, std::ostream& err);
    ~Rack();
    // Runs every station to its end (the calling thread keeps its event loop going) and writes
    // the reports; returns the exit code: 0 when every station passed, EXIT_INTERRUPTED after a
    // stop, else the code of the first failing station in the order given.
    int Run();
    // Any thread: ends every station's run at once, and nothing more is started.
    void RequestStop();
    const std::vector<StationResult>& Results() const { return m_results; }

private:
    void RunStation(size_t index);
    void WriteJsonLine(const StationResult& station, const StationResult::Part& part,
                       const RunReport& run);
    int WriteReports(int code);

    RunnerOptions m_opt;
    std::ostream& m_out;
    std::ostream& m_err;
    std::vector<LineSettings> m_settings;  // the sweep's combinations, in order
    std::vector<StationResult> m_results;  // one a station, each written by its own thread

    std::mutex m_lock;  // guards m_stopped, m_sessions, the shared output and the JSON lines file
    std::condition_variable m_wake;
    bool m_stopped = false;
    std::vector<PassSession*> m_sessions;  // the session each station runs now, or null
    std::ofstream m_jsonl;
    bool m_jsonlFailed = false;
};
