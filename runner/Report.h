// The formats vaskel-passthrough writes, from the values its sessions return: the one-line
// summaries, the JSON report and JSON lines, the JUnit report. Every test kind goes through the
// same code; an interrupted run is marked the same way in each.
#pragma once

#include <QJsonObject>

#include <string>
#include <vector>

#include "runner/Results.h"

// The exit code of one run of any test: EXIT_INTERRUPTED for one a stop cut short.
int RunExitCode(const RunReport& run);
// The session's exit code: EXIT_INTERRUPTED after a stop, else its error's, else its test's own
// (a line change not seen), else the first failed run's, else 0.
int SessionExitCode(const SessionReport& report);
// "run 1/6 serial-to-net: Verified : 1048576 Bytes identical, 3.2 MiB/s in 0.312 s", or
// "run 1/6 serial-to-net: interrupted (SIGINT or SIGTERM)".
std::string SummaryLine(const RunReport& run, int plannedRuns);
// With --accept-again, the drops a run went through: "the device's link dropped after 65536
// bytes and the run started again from its first byte once it dialled in again, 1.234 s after
// the drop"; empty for none.
std::string LinkDropsText(const RunReport& run);
// The summary and the lines after it (a diagnosis, what failed), as standard output shows them.
std::vector<std::string> RunLines(const RunReport& run, int plannedRuns);
// The line on stdout once the device server applied every setting:
// "rfc2217: the device server applied 38400 8N1, no flow control".
std::string RemoteAppliedLine(const SessionReport& report);
// With --wait-for-server, once the device server accepted: "connect: the device server at
// 127.0.0.1:7000 accepted after 2.134 s (9 attempts)".
std::string ServerWaitLine(const SessionReport& report);
// With --udp, the lines about a run's datagrams: "udp: 1026 datagrams from the device server,
// ..." for a run that received any, then "udp: 3 of 1024 file datagrams lost ..." for a failed
// run whose datagrams show it (or why they were not diagnosed).
std::vector<std::string> DatagramLines(const DatagramReport& d, bool received);
// "udp: datagrams to 127.0.0.1:7000 from local port 40123 (the device server must send
// there); file datagrams paced to the serial line's 5760 bytes/s"
std::string UdpLinkLine(const SessionReport& report);
// The "datagrams" object of a run's JSON: {"received": {...sizes...}, "sent": {...}, "finding":
// text or null, "not_diagnosed": text or null}.
QJsonObject DatagramJson(const DatagramReport& d);
// One run's figures as a JSON object (with "run"); an interrupted run's result is
// "interrupted" and its exit code 130, whatever the test.
QJsonObject RunObject(const RunReport& run);
// The machine-readable report of one session (JSON, indented); "rfc2217" is null without
// --rfc2217, "lines" null without --test lines, "data" null for a test without data.
std::string JsonReport(const SessionReport& report);
QJsonObject JsonReportObject(const SessionReport& report);

// Every verdict of a session, in order: how it was stopped before its first run, its setup
// failure, the device server's settings, its test's own verdicts, then its runs. `label` names
// the setting in a rack ("115200 8N1"; empty: the single-session names "run 1 serial-to-net").
std::vector<ReportCase> SessionCases(const SessionReport& report, const std::string& label);
// The text a case that did not pass is reported with: what it found and why it failed.
std::string CaseFailureText(const ReportCase& c);

// Several test suites in one JUnit file: one a station, its parts the sessions of each setting.
struct JUnitSuite {
    std::string name;
    struct Part {
        const SessionReport* report = nullptr;
        std::string label;  // empty: the single-session names ("run 1 serial-to-net")
    };
    std::vector<Part> parts;
};
std::string JUnitSuitesXml(const std::vector<JUnitSuite>& suites);
