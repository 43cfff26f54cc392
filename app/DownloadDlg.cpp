#include "app/DownloadDlg.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "app/MainWnd.h"
#include "res/Resource.h"

CDownloadDlg::CDownloadDlg() : QDialog(nullptr) {
    setObjectName(QStringLiteral("IDD_DOWNLOAD"));
    setWindowTitle(QStringLiteral("Downloading"));
    // A caption and a modal frame, but no system menu and so no close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    QFont font = DialogFont(10);
    setFont(font);
    const DialogUnits du(font);

    m_btnOk = new QPushButton(QStringLiteral("OK"), this);
    m_btnOk->setObjectName(QStringLiteral("IDOK"));
    m_btnOk->setDefault(true);
    m_btnOk->setGeometry(du.Rect(74, 73, 50, 14));
    m_btnOk->setVisible(false);
    connect(m_btnOk, &QPushButton::clicked, this, [this] { OnOK(); });

    m_btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_btnCancel->setObjectName(QStringLiteral("IDCANCEL"));
    m_btnCancel->setAutoDefault(false);
    m_btnCancel->setGeometry(du.Rect(130, 73, 50, 14));
    connect(m_btnCancel, &QPushButton::clicked, this, [this] { OnCancel(); });

    m_ctrlProgress = new QProgressBar(this);
    m_ctrlProgress->setObjectName(QStringLiteral("IDC_PROGRESS_DOWNLOAD"));
    m_ctrlProgress->setGeometry(du.Rect(23, 26, 145, 15));
    m_ctrlProgress->setTextVisible(false);
    m_ctrlProgress->setAccessibleName(QStringLiteral("Download progress"));

    m_staticBytes = new QLabel(this);
    m_staticBytes->setObjectName(QStringLiteral("IDC_STATIC_DOWNLOAD_BYTES"));
    m_staticBytes->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_staticBytes->setGeometry(du.Rect(79, 46, 89, 11));

    setFixedSize(du.Size(187, 94));
}

int CDownloadDlg::DoModal(QWidget* owner) {
    // Every run starts from a fresh window state, whatever the previous run showed.
    m_ctrlProgress->setRange(0, 100);
    m_ctrlProgress->setValue(0);
    m_staticBytes->setText(QStringLiteral("0 / 0 Bytes"));
    if (owner && parentWidget() != owner)
        setParent(owner, windowFlags());
    setWindowModality(Qt::ApplicationModal);
    ++m_nRun;
    return exec();
}

void CDownloadDlg::EndDialog(int code) {
    done(code);
}

void CDownloadDlg::EndDialogLater(int code, int delayMs) {
    // Ends only the run that asked: a late end never reaches a later transfer's dialog.
    const int run = m_nRun;
    QTimer::singleShot(delayMs, this, [this, run, code] {
        if (run == m_nRun && isVisible())
            done(code);
    });
}

void CDownloadDlg::SetRange(int low, int high) {
    m_ctrlProgress->setRange(low, high);
}
void CDownloadDlg::SetPos(int pos) {
    m_ctrlProgress->setValue(pos);
}
void CDownloadDlg::SetBytesText(const QString& text) {
    m_staticBytes->setText(text);
}

void CDownloadDlg::RequestClose() {
    close();
}

void CDownloadDlg::OnCancel() {
    // The dialog does not end itself: the main window decides.
    platform::PostMessage(g_hMainWnd, WM_TRANSFER_CANCEL, 0, 0);
}

void CDownloadDlg::reject() {
    OnCancel();
}  // Escape
void CDownloadDlg::accept() {
    OnOK();
}

void CDownloadDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    OnCancel();
}

void CDownloadDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OnOK();  // the hidden default OK: nothing happens
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
