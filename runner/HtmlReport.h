// The HTML report of vaskel-passthrough (--report): one self-contained page, inline CSS and
// inline SVG only (no script, nothing fetched), that any browser opens offline: the settings and
// verdict, per run its verdict, why it failed and its throughput, and what the test kind adds
// (for latency runs the latency distribution and the sizes of the reads).
#pragma once

#include <string>
#include <vector>

#include "runner/Results.h"

std::string HtmlReport(const SessionReport& report);
// The page of several stations or settings: the stations x settings table, green and red, then
// each station's runs. `lone`: one device swept through settings (no station names).
std::string RackHtmlReport(const std::vector<StationResult>& stations, int exitCode,
                           bool interrupted, bool lone);
