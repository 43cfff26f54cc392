// The script test's results in every format vaskel-passthrough writes: the lines on standard
// output, the JSON object (the report's "script" and the script's JSON line), the verdicts (one
// per expectation line and per timed repeat) and the HTML sections. Response times and periods
// are kept in nanoseconds and shown in milliseconds with as many decimals as it takes never to
// show a real figure as zero.
#pragma once

#include <QJsonObject>

#include <cstdint>
#include <string>
#include <vector>

#include "runner/Results.h"

// 1 500 000 ns: "1.500"; 41 200 ns: "0.0412"; 900 ns: "0.000900"; 0: "0.000".
std::string ScriptMs(int64_t ns);
// "passed", "unmet", "link-failed", "interrupted".
std::string ScriptResultWord(const ScriptOutcome& outcome);
// The steps the script makes when it runs to its end, every pass of every repeat counted (for the
// progress line).
int64_t ScriptPlannedSteps(const std::vector<ScriptStep>& steps);

// The lines on standard output: the summary ("script test.vsk: passed, 120 expectations met on
// 3 lines, 230 sends, 100 responses, in 2.345 s"), a line per expectation line and per timed
// repeat with its figures, and, for an expectation not met, what was expected and what came.
std::vector<std::string> ScriptLines(const SessionReport& report);
// The script's figures: its result, why it stopped, and per line the expectations' response times
// and the repeats' periods (milliseconds).
QJsonObject ScriptJson(const SessionReport& report);
// A verdict per expectation line and per timed repeat, and one for the line a link failed at.
std::vector<ReportCase> ScriptCases(const SessionReport& report);
// The HTML report's sections: a table of the expectation lines, one of the repeats, and the
// spread of each line's response times.
std::string ScriptHtml(const SessionReport& report);
