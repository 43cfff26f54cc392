// What a run of vaskel-passthrough found, as values: each run's outcome or figures, each
// session's (one device, one setting) and each station's. The sessions make them; the reporter
// writes every format from them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "net/RemotePort.h"
#include "runner/Datagrams.h"
#include "runner/Latency.h"
#include "runner/LinesCheck.h"
#include "runner/Options.h"
#include "runner/Reconnect.h"
#include "transfer/PassThrough.h"
#include "transfer/ScriptRunner.h"

// With --accept-again: the device's link dropped and the device dialled in again.
struct LinkDrop {
    // The drop cut the run under way, which then started again from its first byte; false: it
    // came between runs.
    bool duringRun = true;
    int64_t storedBeforeDrop = 0;  // bytes the cut attempt had stored (not counted, sent again)
    double gapSeconds = 0;         // from the drop to the new link
};

// One run: one direction of one repetition (and, with --clients, of one client).
struct RunReport {
    int number = 0;  // 1-based, over all runs
    PassOutcome outcome;
    bool interrupted = false;               // cut short by SIGINT or SIGTERM
    std::optional<LatencyFigures> latency;  // a latency run's figures (its outcome unused)
    // Over --udp: the datagrams of the run, and for a failed run what they show.
    std::optional<DatagramReport> datagrams;
    // With --clients N (N > 1): the client the run is about, 1 to N, and N; 0 without.
    int client = 0;
    int clients = 0;
    // With --accept-again: the drops of the device's link the run went through, in order.
    std::vector<LinkDrop> drops;

    PassDirection Direction() const { return latency ? latency->direction : outcome.direction; }
};

// A failure that ended the session before or between runs: the text the window would show and
// the OS's reason.
struct SessionError {
    int exitCode = 0;
    std::string text;
    std::string detail;
};

// With --wait-for-server: how long the device server took to accept, and the connects it took
// (the last the accepted one, unless it never accepted).
struct ServerWait {
    double seconds = 0;
    int attempts = 0;
    bool accepted = false;
};

struct SessionReport {
    RunnerOptions options;
    bool realBaud = false;  // the serial side is a real UART, not a pseudo-terminal
    std::string source;     // the sent file
    int64_t bytes = 0;      // its length
    int plannedRuns = 0;
    std::vector<RunReport> runs;
    std::optional<SessionError> error;
    // With --rfc2217: what became of the serial settings asked of the device server (absent when
    // no link came up to ask them on).
    std::optional<RemoteSettingsReport> remote;
    // With --test lines: what followed each line (absent when the test did not start).
    std::optional<LinesReport> lines;
    std::optional<ServerWait> serverWait;
    // With --test reconnect: each cycle done (absent when the test did not start).
    std::optional<std::vector<ReconnectCycle>> reconnect;
    bool interrupted = false;  // SIGINT or SIGTERM ended the session
    // A latency session's own floor: the same measurement with nothing but the kernel between
    // writer and reader (absent before it was measured).
    std::optional<LatencyFloor> floor;
    // With --script: how the script ended and its figures (absent when it did not start).
    std::optional<ScriptOutcome> script;
    // With --udp: the local port the link was bound to (the device server's peer; 0 before it
    // was), and for a script the datagrams it sent and received.
    unsigned udpLocalPort = 0;
    std::optional<DatagramReport> scriptDatagrams;
};

// One station's sessions, one a setting.
struct StationResult {
    Station station;
    struct Part {
        LineSettings settings;
        std::string label;  // "115200 8N1"
        SessionReport report;
        int exitCode = 0;
    };
    std::vector<Part> parts;
    int exitCode = 0;  // the first failing part's, else 0
};

// One verdict as every format shows it: a JUnit test case, a row of the HTML report.
struct ReportCase {
    // Skipped: a check the test never came to (a script line after the one it stopped at).
    enum class State { Passed, Failed, Error, Interrupted, Skipped };
    State state = State::Passed;
    std::string name;     // "run 1 serial-to-net", "setup", "rfc2217 settings"
    double seconds = 0;   // how long it took (0: not timed)
    std::string word;     // the result word: "verified", "mismatch", "lost", "interrupted"...
    std::string message;  // what it found: "Verified : ...", "Latency : p50 0.41 ms, ..."
    std::string why;      // not passed: what failed, with the count and the limit
    std::string detail;   // further text (the OS's reason, the stored file)
    double bytesPerSecond = -1;  // < 0: no rate
    std::string direction;       // empty for a case that is no run
    // Figures for the JUnit case's properties ("frames.lost" = "0").
    std::vector<std::pair<std::string, std::string>> properties;
    const RunReport* run = nullptr;  // the run it is about, if any
};
