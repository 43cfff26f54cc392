// Timestamps in both consoles: the "Show Timestamps" toggle and the "Timestamp Gap" entry with
// its small input. The consoles read the choice when they render; a change asks them to render
// again.
#pragma once

#include "app/DialogFeature.h"

// The pause before a received chunk that gives it a time in the consoles, in milliseconds.
constexpr int DEFAULT_TIMESTAMP_GAP_MS = 20;
constexpr int MIN_TIMESTAMP_GAP_MS = 0;
constexpr int MAX_TIMESTAMP_GAP_MS = 60000;

class CTimestampsFeature : public CDialogFeature {
    Q_OBJECT
public:
    using CDialogFeature::CDialogFeature;

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Timestamps shown or not; a change re-renders the consoles.
    void OnShowTimestamps(bool show);
    // Asks for the pause that gives a chunk its time; a new one re-renders the consoles when the
    // timestamps are shown.
    void OnTimestampGap();
    bool Shown() const { return m_bShowTimestamps; }
    int GapMs() const { return m_nTimestampGapMs; }

signals:
    // What the consoles show has changed: both render again.
    void changed();

private:
    bool m_bShowTimestamps = false;
    int m_nTimestampGapMs = DEFAULT_TIMESTAMP_GAP_MS;
};
