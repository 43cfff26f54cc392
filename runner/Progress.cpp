#include "runner/Progress.h"

void ProgressLine::Begin(const std::string& label) {
    m_label = label;
    m_nPercent = 0;
    m_bDrawn = false;
    m_tLast = {};
}

void ProgressLine::Update(int percent, const std::string& bytesText) {
    m_nPercent = percent;
    const auto now = std::chrono::steady_clock::now();
    const auto interval = std::chrono::milliseconds(m_bTerminal ? 100 : 1000);
    if (m_bDrawn && now - m_tLast < interval && percent < 100)
        return;
    m_tLast = now;
    m_bDrawn = true;
    if (!m_bTerminal) {
        m_err << m_label << ": " << bytesText << " (" << percent << "%)\n" << std::flush;
        return;
    }
    constexpr int WIDTH = 30;
    const int filled = percent * WIDTH / 100;
    m_err << "\r" << m_label << " [" << std::string(static_cast<size_t>(filled), '#')
          << std::string(static_cast<size_t>(WIDTH - filled), ' ') << "] " << percent << "% "
          << bytesText << "\x1b[K" << std::flush;
}

void ProgressLine::End() {
    if (m_bTerminal && m_bDrawn)
        m_err << "\r\x1b[K" << std::flush;
    m_bDrawn = false;
}
