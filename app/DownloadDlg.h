// The "Downloading" progress dialog shown while a file transfer runs.
//
// It never closes itself: Cancel, Escape and a close request all post WM_TRANSFER_CANCEL to the
// main window, and only the main window ends it (with code 2).
#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

class CDownloadDlg : public QDialog {
    Q_OBJECT
public:
    CDownloadDlg();

    // Shows the dialog modally over `owner` from a fresh "0 / 0 Bytes" and an empty bar; returns
    // the code EndDialog was given.
    int DoModal(QWidget* owner);
    void EndDialog(int code);
    // Ends the current run after delayMs, unless it has ended already.
    void EndDialogLater(int code, int delayMs);
    int RunCount() const { return m_nRun; }
    bool IsShowing() const { return isVisible(); }

    void SetRange(int low, int high);
    void SetPos(int pos);
    void SetBytesText(const QString& text);
    // A close request (WM_CLOSE): ends up in OnCancel like a click on Cancel.
    void RequestClose();

    QProgressBar* m_ctrlProgress;
    QLabel* m_staticBytes;
    QPushButton* m_btnOk;
    QPushButton* m_btnCancel;

    void OnOK() {}
    void OnCancel();

protected:
    void reject() override;
    void accept() override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int m_nRun = 0;
};
