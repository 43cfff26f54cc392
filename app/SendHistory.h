// The lines sent from one send line, for Up and Down in that line: newest first, at most
// SEND_HISTORY_LIMIT, a line sent again at once kept once, kept in the window's settings.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <string>

class QLineEdit;
class CAppSettings;

constexpr int SEND_HISTORY_LIMIT = 100;

class CSendHistory : public QObject {
    Q_OBJECT
public:
    // `key`: where the settings keep this line's history ("history/serial").
    CSendHistory(QLineEdit* edit, const CAppSettings& settings, QString key,
                 QObject* parent = nullptr);

    // A line that was sent (whether or not the link took it): first in the history, and the
    // browsing starts over from the line being typed. An empty line is not kept.
    void Add(const std::string& line);
    // Newest first.
    const QStringList& Lines();

protected:
    // Up shows the line sent before the one shown, Down the one after; Down past the newest
    // gives back what was being typed.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Read from the settings on first use: the dialog is given its settings file after its
    // features are made.
    void Load();
    void Step(int by);

    QLineEdit* m_edit;  // a child of the dialog
    const CAppSettings& m_settings;
    QString m_key;
    QStringList m_lines;
    bool m_bLoaded = false;
    int m_nShown = -1;  // the history line in the edit, -1: the line being typed
    QString m_draft;    // the line being typed while the history is shown
};
