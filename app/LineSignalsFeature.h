// The "Line Signals..." entry and the one Line Signals window it opens (not modal; raised again
// when it is open already).
#pragma once

#include "app/DialogFeature.h"

class CLineSignalsDlg;
class QWidget;
class TerminalEngine;

class CLineSignalsFeature : public CDialogFeature {
    Q_OBJECT
public:
    // `window`: the dialog the Line Signals window belongs to.
    CLineSignalsFeature(TerminalEngine& engine, QWidget* window);

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Opens the Line Signals window, or raises it when it is open already.
    void OnLineSignals();
    CLineSignalsDlg* Window() const { return m_lineSignals; }
    // Deletes the window. It refers to the engine, so it must go before the engine does, and the
    // dialog's members (the engine among them) end before the dialog's child windows.
    void DeleteWindow();

private:
    TerminalEngine& m_engine;
    QWidget* m_window;
    CLineSignalsDlg* m_lineSignals = nullptr;  // a child of `m_window`
};
