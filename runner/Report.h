// What vaskel-passthrough reports: the verdict of each run, the one-line summaries, the JSON and
// JUnit reports and the progress line.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "net/RemotePort.h"
#include "runner/Latency.h"
#include "runner/LinesCheck.h"
#include "runner/Options.h"
#include "transfer/PassThrough.h"

// One run: one direction of one repetition.
struct RunReport {
    int number = 0;  // 1-based, over all runs
    PassOutcome outcome;
    bool interrupted = false;               // cut short by SIGINT or SIGTERM
    std::optional<LatencyFigures> latency;  // a latency run's figures (its outcome unused)
};

// A failure that ended the session before or between runs: the text the window would show and
// the OS's reason.
struct SessionError {
    int exitCode = EXIT_VERIFIED;
    std::string text;
    std::string detail;
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
    bool interrupted = false;  // SIGINT or SIGTERM ended the session
};

// The exit code of one run: 0 verified; 1 mismatch, short capture, rejected header or cancel;
// 2 a time-out with nothing stored; 5 a capture that could not be stored.
int RunExitCode(const PassOutcome& outcome);
// The exit code of one run of either test.
int RunExitCode(const RunReport& run);
// The session's exit code: its error's, else 1 for a line change not seen, else the first failed
// run's, else 0.
int SessionExitCode(const SessionReport& report);
// "verified", "mismatch", "short", "timeout", "rejected", "not-stored", "cancelled".
std::string RunResultWord(const PassOutcome& outcome);
// The window's text for the run (status line or message box), without the status line's
// leading blank, with what it means: "Verified : 1048576 Bytes identical, 3.2 MiB/s",
// "Network Timeout : nothing arrived within 2 s", "Serial Timeout : short capture, 1500 of 4000
// bytes stored", "Link lost : network peer closed the connection (short capture, ...)".
std::string RunMessage(const PassOutcome& outcome);
// "run 1/6 serial-to-net: Verified : 1048576 Bytes identical, 3.2 MiB/s in 0.312 s"
std::string SummaryLine(const RunReport& run, int plannedRuns);
// The line after the summary that says what kind of difference a run's stored bytes show:
// "diagnosis: every 0xFF byte arrived doubled: ..."; empty when nothing was recognised.
std::string DiagnosisLine(const PassOutcome& outcome);
// A failed run's message in the JUnit report: the run's message, then "; " and its diagnosis.
std::string FailureMessage(const PassOutcome& outcome);
// The line on stdout once the device server applied every setting:
// "rfc2217: the device server applied 38400 8N1, no flow control".
std::string RemoteAppliedLine(const SessionReport& report);
// What an RFC 2217 answer was: "acknowledged", "other-value", "no-answer", "not-applied".
std::string AckWord(ComPortClient::AckState state);
// One run's figures as one line of JSON (compact, no line feed): number, direction, result,
// message, exit code, bytes, first mismatch, seconds, rate, and its diagnosis when it has one.
std::string RunJson(const RunReport& run);
// The machine-readable report (JSON, indented); a run's "diagnosis" is there when it has one,
// "rfc2217" (the option, each setting asked and its answer, the failures) is null without
// --rfc2217, "lines" null without --test lines.
std::string JsonReport(const SessionReport& report);
// The JUnit XML report: one test case per run, a "setup" case for a session error.
std::string JUnitReport(const SessionReport& report);
// Several test suites in one JUnit file (a rack: one suite per station, its parts the sessions
// of each setting, each labelled "115200 8N1"; cases are then named "serial-to-net 115200 8N1").
struct JUnitSuite {
    std::string name;
    struct Part {
        const SessionReport* report = nullptr;
        std::string label;  // empty: the single-session names ("run 1 serial-to-net")
    };
    std::vector<Part> parts;
};
std::string JUnitSuitesXml(const std::vector<JUnitSuite>& suites);

// The progress on stderr: a bar redrawn in place on a terminal (at most 10 times a second), or
// a plain line at most once a second otherwise.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, bool terminal) : m_err(err), m_bTerminal(terminal) {}
    void Begin(const std::string& label);
    void Update(int percent, const std::string& bytesText);
    // Clears the bar (a terminal) before the run's summary.
    void End();

private:
    std::ostream& m_err;
    bool m_bTerminal;
    std::string m_label;
    int m_nPercent = 0;
    bool m_bDrawn = false;
    std::chrono::steady_clock::time_point m_tLast{};
};
