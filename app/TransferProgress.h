// The "Downloading" dialog's view of a pass-through run: turns the engine's progress values and
// the run's end into what the dialog shows, by the dialog's own rules.
#pragma once

#include <QObject>

#include "transfer/PassThrough.h"

class CDownloadDlg;

class CTransferProgress : public QObject {
    Q_OBJECT
public:
    CTransferProgress(PassThrough& transfer, CDownloadDlg& dialog, QObject* parent = nullptr);

private:
    // The first report of a run (its header's length): the bar gets its range, and a capture on
    // the network link shows "0 / <length> Bytes" at once. Every later one: position and count.
    // Nothing while the dialog is not up.
    void OnProgress(PassDirection direction, qint64 stored, qint64 announced);
    // A capture that ended (completed, rejected, not stored), a lost link or a failed read closes
    // the dialog; a cancel or a time-out is closed by whoever made it.
    void OnFinished(const PassOutcome& outcome);

    CDownloadDlg& m_dialog;
    bool m_bRangeShown = false;  // the current run's first report has been shown
};
