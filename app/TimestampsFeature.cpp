#include "app/TimestampsFeature.h"

#include <QAction>

#include "app/Ui.h"

void CTimestampsFeature::AddMenuEntries(CFeatureMenu& menu) {
    QAction* stamps = menu.Add(MenuPlace::ShowTimestamps, QStringLiteral("Show Timestamps"));
    stamps->setCheckable(true);
    stamps->setChecked(m_bShowTimestamps);
    connect(stamps, &QAction::triggered, this, [this](bool on) { OnShowTimestamps(on); });
    QAction* gap = menu.Add(MenuPlace::TimestampGap,
                            QStringLiteral("Timestamp Gap (%1 ms)...").arg(m_nTimestampGapMs));
    connect(gap, &QAction::triggered, this, [this] { OnTimestampGap(); });
}

void CTimestampsFeature::OnShowTimestamps(bool show) {
    if (show == m_bShowTimestamps)
        return;
    m_bShowTimestamps = show;
    emit changed();
}

void CTimestampsFeature::OnTimestampGap() {
    const std::optional<int> gap =
        ui::AskNumber("Timestamp Gap", "Pause before a timestamped chunk (ms):", m_nTimestampGapMs,
                      MIN_TIMESTAMP_GAP_MS, MAX_TIMESTAMP_GAP_MS);
    // The seam's answer is checked as the real input checks it.
    if (!gap || *gap < MIN_TIMESTAMP_GAP_MS || *gap > MAX_TIMESTAMP_GAP_MS ||
        *gap == m_nTimestampGapMs)
        return;
    m_nTimestampGapMs = *gap;
    if (m_bShowTimestamps)
        emit changed();
}
