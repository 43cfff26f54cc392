// The status line at the foot of the main dialog: its text, and its tooltip, in which the last
// transfer, the device server of the network link and the traffic log each keep a part of their
// own.
#pragma once

#include <array>
#include <string>

class QLabel;

class CStatusLine {
public:
    // The tooltip's parts, in the order it shows them.
    enum class TipPart { Transfer, DeviceServer, TrafficLog, Count };

    explicit CStatusLine(QLabel* label) : m_label(label) {}

    // Sets the text and repaints the line at once, on a fresh background, so the new text never
    // mixes with the old.
    void SetText(const std::string& text);
    std::string Text() const;

    // Replaces one part of the tooltip (empty: the part has nothing to say). The tooltip is the
    // parts that have something to say, one after the other, each on its own line(s).
    void SetTip(TipPart part, const std::string& text);
    std::string Tip() const;

private:
    QLabel* m_label;  // a child of the dialog
    std::array<std::string, static_cast<size_t>(TipPart::Count)> m_tips;
};
