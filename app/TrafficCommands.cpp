// The context menu's console entries: timestamps in both consoles and the traffic log of both
// links.
#include <QAction>
#include <QLabel>
#include <QMenu>

#include <cstdio>

#include "app/TerminalDlg.h"
#include "app/Ui.h"
#include "platform/Paths.h"

namespace {

constexpr const char* TRAFFIC_LOG_FILTER = "Traffic Logs(*.log)|*.log|All Files(*.*)|*.*||";

// "traffic_YYYYMMDD_HHMMSS.log", local time now.
std::string DefaultTrafficLogName() {
    const platform::LocalTime t = platform::GetLocalTime();
    char name[64];
    std::snprintf(name, sizeof name, "traffic_%04d%02d%02d_%02d%02d%02d.log", t.year % 10000,
                  t.month % 100, t.day % 100, t.hour % 100, t.minute % 100, t.second % 100);
    return name;
}

}  // namespace

void CTerminalDlg::AddConsoleMenuEntries(QMenu& menu) {
    menu.addSeparator();
    QAction* stamps = menu.addAction(QStringLiteral("Show Timestamps"));
    stamps->setCheckable(true);
    stamps->setChecked(m_bShowTimestamps);
    connect(stamps, &QAction::triggered, this, [this](bool on) { OnShowTimestamps(on); });
    QAction* gap =
        menu.addAction(QStringLiteral("Timestamp Gap (%1 ms)...").arg(m_nTimestampGapMs));
    connect(gap, &QAction::triggered, this, [this] { OnTimestampGap(); });
    QAction* log = menu.addAction(QStringLiteral("Log Traffic..."));
    log->setCheckable(true);
    log->setChecked(m_engine.trafficLog.Active());
    connect(log, &QAction::triggered, this, [this] { OnLogTraffic(); });
}

void CTerminalDlg::OnShowTimestamps(bool show) {
    if (show == m_bShowTimestamps)
        return;
    m_bShowTimestamps = show;
    RefreshSerialConsole();
    RefreshNetConsole();
}

void CTerminalDlg::OnTimestampGap() {
    const std::optional<int> gap =
        ui::AskNumber("Timestamp Gap", "Pause before a timestamped chunk (ms):", m_nTimestampGapMs,
                      MIN_TIMESTAMP_GAP_MS, MAX_TIMESTAMP_GAP_MS);
    // The seam's answer is checked as the real input checks it.
    if (!gap || *gap < MIN_TIMESTAMP_GAP_MS || *gap > MAX_TIMESTAMP_GAP_MS ||
        *gap == m_nTimestampGapMs)
        return;
    m_nTimestampGapMs = *gap;
    if (m_bShowTimestamps) {
        RefreshSerialConsole();
        RefreshNetConsole();
    }
}

void CTerminalDlg::OnLogTraffic() {
    TrafficLog& log = m_engine.trafficLog;
    if (log.Active()) {
        log.Stop();  // the writer writes out what it holds, then tells stopped()
        return;
    }
    // The capture folder when there is one; otherwise the dialog's own choice.
    const std::string dir = platform::CaptureDirectory(Serial().Ports().ProgramDirectory());
    const std::optional<ui::FileChoice> file =
        ui::ChooseSaveFile(dir, DefaultTrafficLogName(), TRAFFIC_LOG_FILTER);
    if (!file)
        return;
    m_nBytesNotLogged = 0;
    ShowStatusTip();
    if (const platform::Result r = log.Start(file->path); !r)
        ui::MessageBox(r.text, r.reason);
}

void CTerminalDlg::ConnectTrafficLog() {
    TrafficLog& log = m_engine.trafficLog;
    // All three come from the log's writer thread or a link's thread.
    connect(
        &log, &TrafficLog::fellBehind, this,
        [this](qint64 bytesNotLogged) {
            if (!m_engine.trafficLog.Active())
                return;  // told just before the log stopped
            m_nBytesNotLogged = bytesNotLogged;
            ShowStatusTip();
        },
        Qt::QueuedConnection);
    connect(
        &log, &TrafficLog::stopped, this,
        [this] {
            m_nBytesNotLogged = 0;
            ShowStatusTip();
        },
        Qt::QueuedConnection);
    connect(
        &log, &TrafficLog::failed, this,
        [this](const QString& text, const QString& detail) {
            // The failed writer has ended; the log stops so the menu entry is unchecked and a
            // new one can start. A log started since, into another file, goes on.
            TrafficLog& current = m_engine.trafficLog;
            if (current.Active() &&
                detail.startsWith(QString::fromStdString(current.Path() + ": ")))
                current.Stop();
            m_nBytesNotLogged = 0;
            ShowStatusTip();
            ui::MessageBox(text.toStdString(), detail.toStdString());
        },
        Qt::QueuedConnection);
}
