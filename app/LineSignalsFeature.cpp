#include "app/LineSignalsFeature.h"

#include <QAction>

#include "app/LineSignalsDlg.h"
#include "transfer/TerminalEngine.h"

CLineSignalsFeature::CLineSignalsFeature(TerminalEngine& engine, QWidget* window)
    : m_engine(engine), m_window(window) {}

void CLineSignalsFeature::AddMenuEntries(CFeatureMenu& menu) {
    connect(menu.Add(MenuPlace::LineSignals, QStringLiteral("Line Signals...")),
            &QAction::triggered, this, [this] { OnLineSignals(); });
}

void CLineSignalsFeature::OnLineSignals() {
    if (!m_lineSignals)
        m_lineSignals = new CLineSignalsDlg(m_engine.serial, m_engine.net, m_window);
    m_lineSignals->show();
    m_lineSignals->raise();
    m_lineSignals->activateWindow();
}

void CLineSignalsFeature::DeleteWindow() {
    delete m_lineSignals;
    m_lineSignals = nullptr;
}
