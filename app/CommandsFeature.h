// The "Commands..." entry and the one Commands window it opens (not modal; raised again when it
// is open already). The window ends what it runs when it closes, and closes with the dialog.
#pragma once

#include "app/DialogFeature.h"

class CAppSettings;
class CCommandsDlg;
class QDialog;
class TerminalEngine;

class CCommandsFeature : public CDialogFeature {
    Q_OBJECT
public:
    // `window`: the dialog the Commands window belongs to.
    CCommandsFeature(TerminalEngine& engine, const CAppSettings& settings, QDialog* window);

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Opens the Commands window, or raises it when it is open already.
    void OnCommands();
    CCommandsDlg* Window() const { return m_commands; }
    // Deletes the window. It refers to the engine (and may be watching its received traffic), so
    // it must go before the engine does.
    void DeleteWindow();

private:
    TerminalEngine& m_engine;
    const CAppSettings& m_settings;
    QDialog* m_window;
    CCommandsDlg* m_commands = nullptr;  // a child of `m_window`
};
