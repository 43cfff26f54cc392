// One invocation of vaskel-passthrough: prepares the data, brings up both links through the
// terminal engine, runs every direction of every repetition and reports. Needs a
// QCoreApplication; waits in local event loops.
#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "runner/Options.h"
#include "runner/Report.h"
#include "runner/StopSignals.h"

class PassSession {
public:
    PassSession(const RunnerOptions& options, std::ostream& out, std::ostream& err,
                bool errIsTerminal);
    // Runs the session; returns the exit code. Failures are told on `err` (the window's text and
    // the OS's reason), summaries or the JSON report on `out`.
    int Run();
    const SessionReport& Report() const { return m_report; }
    // Any thread: ends the session at once. A run under way is cancelled (the serial output queue
    // discarded) and reported as interrupted, nothing more is run, and Run returns
    // EXIT_INTERRUPTED. The session must have been made on the thread that runs it.
    void RequestStop();
    bool StopRequested() const { return m_stopRequested.load(); }
    // Called on the session's thread as each run ends, with its report.
    void SetRunListener(std::function<void(const RunReport&)> listener) {
        m_runListener = std::move(listener);
    }

private:
    int Prepare();
    int BringUpLinks(class TerminalEngine& engine);
    // With --rfc2217: waits for the device server's answers to the settings asked when the link
    // came up and judges them.
    int CheckRemoteSettings(TerminalEngine& engine);
    int RunAll(TerminalEngine& engine);
    int RunLines(TerminalEngine& engine);
    int RunLatency(TerminalEngine& engine);
    // The traffic log of --log: started before the links come up, stopped (and waited for)
    // after they are closed; a log that could not be written turns a verified session into
    // EXIT_NOT_STORED.
    int StartLog(TerminalEngine& engine);
    int StopLog(TerminalEngine& engine, int code);
    int Fail(int code, const std::string& text, const std::string& detail);
    // Writes the reports and removes the temporary folder; returns the exit code, which a report
    // that could not be written turns from verified into EXIT_NOT_STORED.
    int Finish(int code);

    // Quits `loop` when a stop is requested; false when one already was.
    bool StopQuits(class QEventLoop& loop);

    std::atomic<bool> m_stopRequested{false};
    SessionStop m_stop;
    std::function<void(const RunReport&)> m_runListener;
    RunnerOptions m_opt;
    std::ostream& m_out;
    std::ostream& m_err;
    ProgressLine m_progress;
    SessionReport m_report;
    std::string m_tempDir;    // made by this session, with its trailing '/'
    std::string m_outputDir;  // where captures go, with its trailing '/'
    // Latency runs' measurement: outlives the engine (and so its link threads).
    LatencyMeter m_meter;
    std::string m_logFailure;  // the log's failure, text and detail; empty while it is fine
    int64_t m_logNotLogged = 0;
};

// Bytes [offset, offset + n) of the reproducible pattern of `seed` (the same on every machine).
void FillPattern(uint64_t seed, uint64_t offset, unsigned char* out, size_t n);
// Writes `size` bytes of the pattern of `seed` to `path`; false with the OS's reason in *error.
// A stop raised meanwhile ends it early (false, nothing more written).
bool WriteRandomFile(const std::string& path, int64_t size, uint64_t seed, std::string* error,
                     const std::atomic<bool>* stop = nullptr);
// Writes `text` as the whole content of `path` (created or truncated); false with the OS's reason
// in *reason when it could not be created, written in full or closed.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string* reason);
// True when the device at `path` is a pseudo-terminal (socat's pty and the like), whose baud
// rate paces nothing.
bool IsPseudoTerminal(const std::string& path);
// True when `path` is a character device other than a pseudo-terminal: a line with a real baud
// rate.
bool IsRealSerialLine(const std::string& path);
