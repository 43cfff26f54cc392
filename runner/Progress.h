// The progress of a run on stderr: a bar redrawn in place on a terminal (at most 10 times a
// second), or a plain line at most once a second otherwise.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

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
