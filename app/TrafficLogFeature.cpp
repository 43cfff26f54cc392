#include "app/TrafficLogFeature.h"

#include <QAction>

#include <cstdio>

#include "app/StatusLine.h"
#include "app/Ui.h"
#include "platform/Paths.h"
#include "transfer/TerminalEngine.h"

namespace {

// The name's extension decides the format: ".pcapng" a capture file, anything else text lines.
constexpr const char* TRAFFIC_LOG_FILTER =
    "Traffic Logs(*.log)|*.log|Capture Files(*.pcapng)|*.pcapng|All Files(*.*)|*.*||";

// "traffic_YYYYMMDD_HHMMSS.log", local time now.
std::string DefaultTrafficLogName() {
    const platform::LocalTime t = platform::GetLocalTime();
    char name[64];
    std::snprintf(name, sizeof name, "traffic_%04d%02d%02d_%02d%02d%02d.log", t.year % 10000,
                  t.month % 100, t.day % 100, t.hour % 100, t.minute % 100, t.second % 100);
    return name;
}

}  // namespace

CTrafficLogFeature::CTrafficLogFeature(TerminalEngine& engine, CStatusLine& status)
    : m_engine(engine), m_status(status) {
    TrafficLog& log = m_engine.trafficLog;
    // All three come from the log's writer thread or a link's thread.
    connect(
        &log, &TrafficLog::fellBehind, this,
        [this](qint64 bytesNotLogged) {
            if (m_engine.trafficLog.Active())  // else told just before the log stopped
                ShowBytesNotLogged(bytesNotLogged);
        },
        Qt::QueuedConnection);
    connect(
        &log, &TrafficLog::stopped, this, [this] { ShowBytesNotLogged(0); }, Qt::QueuedConnection);
    connect(
        &log, &TrafficLog::failed, this,
        [this](const QString& text, const QString& detail) {
            // The failed writer has ended; the log stops so the menu entry is unchecked and a
            // new one can start. A log started since, into another file, goes on.
            TrafficLog& current = m_engine.trafficLog;
            if (current.Active() &&
                detail.startsWith(QString::fromStdString(current.Path() + ": ")))
                current.Stop();
            ShowBytesNotLogged(0);
            ui::MessageBox(text.toStdString(), detail.toStdString());
        },
        Qt::QueuedConnection);
}

void CTrafficLogFeature::AddMenuEntries(CFeatureMenu& menu) {
    QAction* log = menu.Add(MenuPlace::LogTraffic, QStringLiteral("Log Traffic..."));
    log->setCheckable(true);
    log->setChecked(m_engine.trafficLog.Active());
    connect(log, &QAction::triggered, this, [this] { OnLogTraffic(); });
}

void CTrafficLogFeature::OnLogTraffic() {
    TrafficLog& log = m_engine.trafficLog;
    if (log.Active()) {
        log.Stop();  // the writer writes out what it holds, then tells stopped()
        return;
    }
    // The capture folder when there is one; otherwise the dialog's own choice.
    const std::string dir = platform::CaptureDirectory(m_engine.serial.Ports().ProgramDirectory());
    const std::optional<ui::FileChoice> file =
        ui::ChooseSaveFile(dir, DefaultTrafficLogName(), TRAFFIC_LOG_FILTER);
    if (!file)
        return;
    ShowBytesNotLogged(0);
    if (const platform::Result r = log.Start(file->path); !r)
        ui::MessageBox(r.text, r.reason);
}

void CTrafficLogFeature::ShowBytesNotLogged(qint64 bytes) {
    m_status.SetTip(CStatusLine::TipPart::TrafficLog,
                    bytes <= 0 ? std::string()
                               : std::to_string(bytes) +
                                     (bytes == 1 ? " byte not logged" : " bytes not logged"));
}
