#include "runner/Charts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string Fmt(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

namespace {

std::string Px(double v) {
    return Fmt("%.1f", v);
}

// A round step for about `ticks` ticks up to `top`: 1, 2 or 5 times a power of ten.
double NiceStep(double top, int ticks) {
    if (!(top > 0))
        return 1;
    const double raw = top / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw)
            return m * power;
    return 10 * power;
}

// "0.25" for a step below 1, "2" above: as many decimals as the step needs.
std::string TickText(double v, double step) {
    const int decimals =
        step >= 1 ? 0 : std::min(6, static_cast<int>(std::ceil(-std::log10(step))));
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    return Fmt(format, v);
}

// A marked figure in milliseconds: three decimals, more for a figure under 0.1 ms, so that a
// real figure never reads as zero.
std::string MarkText(double ms) {
    int decimals = 3;
    while (decimals < 6 && ms > 0 && ms < std::pow(10.0, 2 - decimals))
        ++decimals;
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    return Fmt(format, ms);
}

constexpr int kLeft = 56, kRight = 16, kTop = 16, kBottom = 40;

std::string SvgOpen(int width, int height, const std::string& label) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
           "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) +
           " " + std::to_string(height) + "\" role=\"img\" aria-label=\"" + HtmlEscape(label) +
           "\">\n";
}

std::string Text(double x, double y, const std::string& text, const char* anchor,
                 const char* cls = "t") {
    return "<text class=\"" + std::string(cls) + "\" x=\"" + Px(x) + "\" y=\"" + Px(y) +
           "\" text-anchor=\"" + anchor + "\">" + HtmlEscape(text) + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const char* cls) {
    return "<line class=\"" + std::string(cls) + "\" x1=\"" + Px(x1) + "\" y1=\"" + Px(y1) +
           "\" x2=\"" + Px(x2) + "\" y2=\"" + Px(y2) + "\"/>\n";
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string LatencyCdfSvg(const std::vector<double>& sortedMs, int width, int height,
                          const std::string& label, const std::string& emptyText) {
    std::string s = SvgOpen(width, height, label);
    const double plotW = width - kLeft - kRight, plotH = height - kTop - kBottom;
    const double x0 = kLeft, y0 = kTop + plotH;
    if (sortedMs.empty()) {
        s += Text(width / 2.0, height / 2.0, emptyText, "middle");
        return s + "</svg>\n";
    }
    const double top = std::max(sortedMs.back(), 0.001);
    const double step = NiceStep(top, 5);
    const double xMax = std::ceil(top / step) * step;
    auto X = [&](double ms) { return x0 + ms / xMax * plotW; };
    auto Y = [&](double share) { return y0 - share * plotH; };
    for (int q = 0; q <= 4; ++q) {
        const double share = q / 4.0;
        s += Line(x0, Y(share), x0 + plotW, Y(share), "grid");
        s += Text(x0 - 6, Y(share) + 4, std::to_string(q * 25) + "%", "end");
    }
    for (double v = 0; v <= xMax + step / 2; v += step) {
        s += Line(X(v), y0, X(v), y0 + 4, "axis");
        s += Text(X(v), y0 + 16, TickText(v, step), "middle");
    }
    s += Text(x0 + plotW / 2, height - 6.0, "milliseconds", "middle");
    // A step curve through at most ~600 points: every k-th sample, the last one always.
    const size_t n = sortedMs.size();
    const size_t every = std::max<size_t>(1, n / 600);
    std::string points = Px(X(sortedMs[0])) + "," + Px(Y(0));
    for (size_t i = 0; i < n; i += every) {
        const size_t at = std::min(n - 1, i + every - 1);
        points += " " + Px(X(sortedMs[at])) + "," + Px(Y(static_cast<double>(at + 1) / n));
    }
    s += "<polyline class=\"curve\" points=\"" + points + "\"/>\n";
    const auto rank = [&sortedMs](double q) {
        const size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(sortedMs.size())));
        return sortedMs[std::clamp<size_t>(i, 1, sortedMs.size()) - 1];
    };
    for (const auto& [label, value] :
         {std::pair{"p50", rank(0.50)}, std::pair{"p99", rank(0.99)}}) {
        s += Line(X(value), kTop, X(value), y0, "mark");
        // Labels near the right edge go on the line's left.
        const bool right = X(value) > x0 + plotW * 0.75;
        s += Text(X(value) + (right ? -3 : 3), kTop + (label[1] == '5' ? 10.0 : 22.0),
                  std::string(label) + " " + MarkText(value), right ? "end" : "start", "v");
    }
    s += Line(x0, kTop, x0, y0, "axis") + Line(x0, y0, x0 + plotW, y0, "axis");
    return s + "</svg>\n";
}

std::string ReadSizeSvg(const std::map<size_t, uint64_t>& sizes, int width, int height) {
    std::string s = SvgOpen(width, height, "sizes of the reads on the receiving link");
    const double plotW = width - kLeft - kRight, plotH = height - kTop - kBottom;
    const double x0 = kLeft, y0 = kTop + plotH;
    if (sizes.empty()) {
        s += Text(width / 2.0, height / 2.0, "nothing was read", "middle");
        return s + "</svg>\n";
    }
    // A bar per size, or per power-of-two range when there are too many sizes.
    std::vector<std::pair<std::string, uint64_t>> bars;
    if (sizes.size() <= 24) {
        for (const auto& [bytes, count] : sizes)
            bars.emplace_back(std::to_string(bytes), count);
    } else {
        std::map<int, uint64_t> ranges;
        for (const auto& [bytes, count] : sizes) {
            int bit = 0;
            while ((size_t{2} << bit) <= bytes)
                ++bit;
            ranges[bit] += count;
        }
        for (const auto& [bit, count] : ranges) {
            const size_t low = size_t{1} << bit, high = (size_t{2} << bit) - 1;
            bars.emplace_back(low == high ? std::to_string(low)
                                          : std::to_string(low) + "-" + std::to_string(high),
                              count);
        }
    }
    uint64_t most = 0;
    for (const auto& bar : bars)
        most = std::max(most, bar.second);
    // Whole-number ticks up to a round top at or above the largest count.
    const double step = std::max(1.0, NiceStep(static_cast<double>(most), 4));
    const double top = std::ceil(static_cast<double>(most) / step) * step;
    for (double v = 0; v <= top + step / 2; v += step) {
        const double y = y0 - v / top * plotH;
        s += Line(x0, y, x0 + plotW, y, "grid");
        s += Text(x0 - 6, y + 4, Fmt("%.0f", v), "end");
    }
    const double slot = plotW / static_cast<double>(bars.size());
    const double barW = std::max(2.0, slot * 0.7);
    for (size_t i = 0; i < bars.size(); ++i) {
        // A single read still shows: at least 2 px.
        const double h = std::max(2.0, static_cast<double>(bars[i].second) / top * plotH);
        const double cx = x0 + slot * (static_cast<double>(i) + 0.5);
        s += "<rect class=\"bar\" x=\"" + Px(cx - barW / 2) + "\" y=\"" + Px(y0 - h) +
             "\" width=\"" + Px(barW) + "\" height=\"" + Px(h) + "\"><title>" +
             HtmlEscape(bars[i].first) + " bytes: " + std::to_string(bars[i].second) +
             " reads</title></rect>\n";
        s += Text(cx, y0 - h - 3, std::to_string(bars[i].second), "middle", "v");
        s += Text(cx, y0 + 14, bars[i].first, "middle");
    }
    s += Text(x0 + plotW / 2, height - 6.0, "bytes per read", "middle");
    s += Line(x0, kTop, x0, y0, "axis") + Line(x0, y0, x0 + plotW, y0, "axis");
    return s + "</svg>\n";
}
