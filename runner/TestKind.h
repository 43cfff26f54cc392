// What each test of vaskel-passthrough (files passing through, latency frames, control lines)
// tells the reporter: its verdicts, its words and its figures, through one interface, so that
// every format is written by the same code for every test.
#pragma once

#include <QJsonObject>
#include <QJsonValue>

#include <string>
#include <utility>
#include <vector>

#include "runner/Results.h"

class TestKind {
public:
    virtual ~TestKind() = default;
    // "passthrough", "latency", "lines", "script": the JSON report's "test".
    virtual const char* Name() const = 0;
    // "pass-through", "latency", "control lines", "script": the HTML report's title.
    virtual const char* Title() const = 0;

    // A finished run (never an interrupted one: the reporter marks those alike for every test).
    virtual int RunExitCode(const RunReport& run) const = 0;
    // The summary's text after "run 1/2 serial-to-net: ".
    virtual std::string RunMessage(const RunReport& run) const = 0;
    // The lines after the summary: what kind of difference, what failed and why.
    virtual std::vector<std::string> RunNotes(const RunReport& run) const = 0;
    virtual ReportCase RunCase(const RunReport& run) const = 0;
    // The run's figures (without "run"), as the JSON report and the JSON lines give them.
    virtual QJsonObject RunJson(const RunReport& run) const = 0;

    // Verdicts of the session that are no run (the line test's lines), its lines on standard
    // output, and its exit code from them (0 when they passed or there are none).
    virtual std::vector<ReportCase> SessionCases(const SessionReport&) const { return {}; }
    virtual std::vector<std::string> SessionLines(const SessionReport&) const { return {}; }
    virtual int SessionCode(const SessionReport&) const { return 0; }
    // The JSON line of a test whose results are the session's own (a finished script), with
    // "test" and "result" (the reporter adds "exit_code" unless the line has its own); empty for
    // a test whose lines are its runs.
    virtual QJsonObject SessionJsonLine(const SessionReport&) const { return {}; }
    // The JSON report's "data" (null for a test without data).
    virtual QJsonValue DataJson(const SessionReport& report) const = 0;
    // The HTML report's rows about what was sent ("data", "frames"), and its sections after the
    // runs table (the latency charts).
    virtual std::vector<std::pair<std::string, std::string>> HtmlRows(
        const SessionReport& report) const = 0;
    virtual std::string HtmlDetails(const SessionReport&) const { return {}; }
};

const TestKind& KindOf(RunnerOptions::Test test);
// The kind of test a run belongs to.
const TestKind& KindOf(const RunReport& run);

// The exit code of one run: 0 verified; 1 mismatch, short capture, rejected header or cancel;
// 2 a time-out with nothing stored; 4 the network link lost because the device server stopped
// reading; 5 a capture that could not be stored.
int RunExitCode(const PassOutcome& outcome);
// "verified", "mismatch", "short", "timeout", "rejected", "not-stored", "cancelled".
std::string RunResultWord(const PassOutcome& outcome);
// The window's text for the run (status line or message box), without the status line's
// leading blank, with what it means: "Verified : 1048576 Bytes identical, 3.2 MiB/s",
// "Network Timeout : nothing arrived within 2 s", "Serial Timeout : short capture, 1500 of 4000
// bytes stored", "Link lost : network peer closed the connection (short capture, ...)".
std::string RunMessage(const PassOutcome& outcome);
// "diagnosis: every 0xFF byte arrived doubled: ..."; empty when nothing was recognised.
std::string DiagnosisLine(const PassOutcome& outcome);
// What an RFC 2217 answer was: "acknowledged", "other-value", "no-answer", "not-applied".
std::string AckWord(ComPortClient::AckState state);
