// "Commands": a list of named commands kept in the settings, each sent on its link with its
// checksum and line ending, at once or repeated on a schedule; the list's export and import as a
// script file, and a script file run on the links the main window has open (CCommandRuns).
#pragma once

#include <QDialog>

#include <vector>

#include "app/SavedCommands.h"

class CAppSettings;
class CCommandRuns;
class QComboBox;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class TerminalEngine;

class CCommandsDlg : public QDialog {
    Q_OBJECT
public:
    // The engine's link threads must have ended before the window goes (see CCommandRuns).
    CCommandsDlg(TerminalEngine& engine, const CAppSettings& settings, QWidget* parent = nullptr);
    ~CCommandsDlg() override;

    const std::vector<SavedCommand>& Commands() const { return m_commands; }
    // The chosen entry (-1: none).
    int Current() const;
    // What the window shows: the line under the buttons and the last run's outcome.
    QString StatusText() const;
    QString ResultText() const;
    CCommandRuns& Runs() { return *m_runs; }

    // The buttons' commands.
    void OnAdd();
    void OnRemove();
    void OnMove(int by);
    void OnSend();
    void OnRepeat();
    void OnStop();
    void OnExport();
    void OnImport();
    void OnRunScript();

protected:
    // Closing the window ends what it runs.
    void hideEvent(QHideEvent* e) override;

private:
    void CreateControls();
    // The chosen entry's fields into the editor; the editor's into the chosen entry.
    void ShowCurrent();
    void TakeEdits();
    void ShowList(int current);
    void Save() const;
    void ShowStatus(const QString& text);
    void ShowRunning(bool running);

    TerminalEngine& m_engine;
    const CAppSettings& m_settings;
    std::vector<SavedCommand> m_commands;
    bool m_bLoading = false;  // the editor is being filled: its changes are not edits
    CCommandRuns* m_runs = nullptr;
    QListWidget* m_list = nullptr;
    QLineEdit* m_name = nullptr;
    QComboBox* m_link = nullptr;
    QLineEdit* m_data = nullptr;
    QComboBox* m_checksum = nullptr;
    QComboBox* m_ending = nullptr;
    QLineEdit* m_every = nullptr;
    QLineEdit* m_count = nullptr;
    QCheckBox* m_untilStopped = nullptr;
    QPushButton* m_send = nullptr;
    QPushButton* m_repeat = nullptr;
    QPushButton* m_runScript = nullptr;
    QPushButton* m_stop = nullptr;
    QLabel* m_status = nullptr;
    QPlainTextEdit* m_result = nullptr;
    std::vector<QWidget*> m_editors;  // enabled while an entry is chosen
};
