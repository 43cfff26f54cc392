// The HTML report's building blocks: text made safe for HTML, and the charts as inline SVG
// (no script, nothing fetched).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Text made safe for HTML element content and attribute values (& < > " ').
std::string HtmlEscape(const std::string& text);
// printf-style formatting of one number: Fmt("%.3f", 1.5) is "1.500".
std::string Fmt(const char* format, double value);
// The cumulative distribution of `sortedMs` as an SVG chart, `width` x `height` pixels, named
// `label` for a screen reader; `emptyText` stands in the chart when there is no figure.
std::string LatencyCdfSvg(const std::vector<double>& sortedMs, int width, int height,
                          const std::string& label = "one-way latency, cumulative distribution",
                          const std::string& emptyText = "no frame arrived");
// The read sizes (bytes -> reads) as an SVG bar chart; sizes are grouped in power-of-two ranges
// when there are too many distinct ones for a bar each.
std::string ReadSizeSvg(const std::map<size_t, uint64_t>& sizes, int width, int height);
