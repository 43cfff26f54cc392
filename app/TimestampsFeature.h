// Timestamps in both consoles: the "Show Timestamps" toggle and the "Timestamp Gap" entry with
// its small input; and "Decode Modbus", which follows each Modbus frame found among a console's
// received chunks with a line that decodes it. The consoles read the choices when they render;
// a change asks them to render again.
#pragma once

#include <QTimer>

#include <array>

#include "app/DialogFeature.h"
#include "app/ModbusNotes.h"
#include "app/SendSideFeature.h"

// The pause before a received chunk that gives it a time in the consoles, in milliseconds.
constexpr int DEFAULT_TIMESTAMP_GAP_MS = 20;
constexpr int MIN_TIMESTAMP_GAP_MS = 0;
constexpr int MAX_TIMESTAMP_GAP_MS = 60000;

class CTimestampsFeature : public CDialogFeature {
    Q_OBJECT
public:
    explicit CTimestampsFeature(QObject* parent = nullptr);

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Timestamps shown or not; a change re-renders the consoles.
    void OnShowTimestamps(bool show);
    // Asks for the pause that gives a chunk its time; a new one re-renders the consoles when the
    // timestamps are shown.
    void OnTimestampGap();
    bool Shown() const { return m_bShowTimestamps; }
    int GapMs() const { return m_nTimestampGapMs; }

    // How a console's received bytes are decoded ("Off" until chosen); a change re-renders.
    ModbusDecode Decode(SendLine console) const { return m_decode[Index(console)]; }
    void SetDecode(SendLine console, ModbusDecode mode);
    // A render found bytes that wait for a frame's silence: both consoles render again shortly
    // (once, however often asked meanwhile).
    void RenderAgainSoon();

signals:
    // What the consoles show has changed: both render again.
    void changed();

private:
    static size_t Index(SendLine console) { return console == SendLine::Serial ? 0 : 1; }

    bool m_bShowTimestamps = false;
    std::array<ModbusDecode, 2> m_decode{ModbusDecode::Off, ModbusDecode::Off};
    QTimer m_renderAgain;
    int m_nTimestampGapMs = DEFAULT_TIMESTAMP_GAP_MS;
};
