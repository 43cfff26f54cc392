// The HTML report of vaskel-passthrough (--report): one self-contained page, inline CSS and
// inline SVG only (no script, nothing fetched), that any browser opens offline: the session's
// settings and verdict, per run its verdict and throughput, and for latency runs the latency
// distribution (a CDF) and the sizes of the reads on the receiving side (a histogram).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runner/Rack.h"
#include "runner/Report.h"

std::string HtmlReport(const SessionReport& report);
// A rack's page: the stations x settings table, green and red, then each station's runs.
std::string RackHtmlReport(const std::vector<StationResult>& stations, int exitCode,
                           bool interrupted);

// Text made safe for HTML element content and attribute values (& < > " ').
std::string HtmlEscape(const std::string& text);

// The cumulative distribution of `sortedMs` as an SVG chart, `width` x `height` pixels.
std::string LatencyCdfSvg(const std::vector<double>& sortedMs, int width, int height);
// The read sizes (bytes -> reads) as an SVG bar chart; sizes are grouped in power-of-two ranges
// when there are too many distinct ones for a bar each.
std::string ReadSizeSvg(const std::map<size_t, uint64_t>& sizes, int width, int height);
