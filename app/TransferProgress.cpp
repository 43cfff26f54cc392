#include "app/TransferProgress.h"

#include "app/DownloadDlg.h"
#include "transfer/PassVerdict.h"

CTransferProgress::CTransferProgress(PassThrough& transfer, CDownloadDlg& dialog, QObject* parent)
    : QObject(parent), m_dialog(dialog) {
    connect(&transfer, &PassThrough::progress, this, &CTransferProgress::OnProgress);
    connect(&transfer, &PassThrough::finished, this, &CTransferProgress::OnFinished);
}

void CTransferProgress::OnProgress(PassDirection direction, qint64 stored, qint64 announced) {
    const bool first = !m_bRangeShown;
    m_bRangeShown = true;
    if (!m_dialog.IsShowing() || announced <= 0)
        return;
    if (first) {
        m_dialog.SetRange(0, 100);
        if (direction == PassDirection::SerialToNet)
            m_dialog.SetBytesText(QString::fromStdString(ByteCountText(0, announced)));
        return;
    }
    m_dialog.SetPos(static_cast<int>(stored * 100 / announced));
    m_dialog.SetBytesText(QString::fromStdString(ByteCountText(stored, announced)));
}

void CTransferProgress::OnFinished(const PassOutcome& outcome) {
    m_bRangeShown = false;
    if (outcome.end == PassOutcome::End::Cancelled || outcome.end == PassOutcome::End::TimedOut)
        return;
    if (m_dialog.IsShowing())
        m_dialog.RequestClose();
}
