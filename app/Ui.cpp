#include "app/Ui.h"

#include "app/Window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QThread>
#include <QUrl>

namespace ui {
namespace {

IUiSeam* g_seam = nullptr;

void ShowRealMessage(const std::string& text, const std::string& detail) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vaskel"), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    if (!detail.empty())
        box.setInformativeText(QString::fromStdString(detail));
    box.exec();
}

// "All Files(*.*)|*.*||" -> "All Files(*.*) (*)": each description|pattern pair becomes one Qt
// filter; "*.*" means every file on Windows, so it also matches names without a dot here.
QString QtFilter(const std::string& filter) {
    QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        QString pattern = parts[i + 1];
        pattern.replace(QLatin1String("*.*"), QLatin1String("*"));
        pattern.replace(QLatin1Char(';'), QLatin1Char(' '));
        out << QStringLiteral("%1 (%2)").arg(parts[i], pattern);
    }
    return out.join(QLatin1String(";;"));
}

}  // namespace

void SetUiSeam(IUiSeam* seam) {
    g_seam = seam;
}

void MessageBox(const std::string& text, const std::string& detail) {
    if (platform::IsUiThread() || !QCoreApplication::instance()) {
        if (g_seam)
            g_seam->ShowMessage(text, detail);
        else
            ShowRealMessage(text, detail);
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [text, detail] { MessageBox(text, detail); },
        Qt::QueuedConnection);
}

std::optional<FileChoice> ChooseOpenFile(const std::string& filter) {
    if (g_seam)
        return g_seam->ChooseOpenFile(filter);
    QString path = QFileDialog::getOpenFileName(nullptr, QString(), QString(), QtFilter(filter));
    if (path.isEmpty())
        return std::nullopt;
    return FileChoice{path.toStdString(), QFileInfo(path).fileName().toStdString()};
}

std::optional<FileChoice> ChooseSaveFile(const std::string& directory, const std::string& name,
                                         const std::string& filter) {
    if (g_seam)
        return g_seam->ChooseSaveFile(directory, name, filter);
    QString start = QString::fromStdString(name);
    if (!directory.empty())
        start = QDir(QString::fromStdString(directory)).filePath(start);
    const QString path = QFileDialog::getSaveFileName(QApplication::activeWindow(), QString(),
                                                      start, QtFilter(filter));
    if (path.isEmpty())
        return std::nullopt;
    return FileChoice{path.toStdString(), QFileInfo(path).fileName().toStdString()};
}

std::optional<int> AskNumber(const std::string& title, const std::string& label, int value, int min,
                             int max) {
    if (g_seam)
        return g_seam->AskNumber(title, label, value, min, max);
    bool ok = false;
    const int chosen =
        QInputDialog::getInt(QApplication::activeWindow(), QString::fromStdString(title),
                             QString::fromStdString(label), value, min, max, 1, &ok);
    if (!ok)
        return std::nullopt;
    return chosen;
}

void OpenFolder(const std::string& path) {
    if (g_seam) {
        g_seam->OpenFolder(path);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path))))
        MessageBox("Can't open the capture folder",
                   path + ": no file manager could be started (xdg-open).");
}

}  // namespace ui
