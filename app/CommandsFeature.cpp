#include "app/CommandsFeature.h"

#include <QAction>
#include <QDialog>

#include "app/CommandRuns.h"
#include "app/CommandsDlg.h"

CCommandsFeature::CCommandsFeature(TerminalEngine& engine, const CAppSettings& settings,
                                   QDialog* window)
    : m_engine(engine), m_settings(settings), m_window(window) {
    // The dialog's end stops what the window runs (it may run while hidden) and closes it.
    connect(window, &QDialog::finished, this, [this] {
        if (m_commands) {
            m_commands->Runs().Stop();
            m_commands->close();
        }
    });
}

void CCommandsFeature::AddMenuEntries(CFeatureMenu& menu) {
    connect(menu.Add(MenuPlace::Commands, QStringLiteral("Commands...")), &QAction::triggered, this,
            [this] { OnCommands(); });
}

void CCommandsFeature::OnCommands() {
    if (!m_commands)
        m_commands = new CCommandsDlg(m_engine, m_settings, m_window);
    m_commands->show();
    m_commands->raise();
    m_commands->activateWindow();
}

void CCommandsFeature::DeleteWindow() {
    delete m_commands;
    m_commands = nullptr;
}
