// File pass-through on the main dialog: the File Send commands, the time-outs and the end of a
// transfer. The pass-through itself (worker, captures, timers) is the engine's.
#include <QLabel>

#include "app/StatusLine.h"
#include "app/TerminalDlg.h"
#include "app/Ui.h"
#include "platform/Paths.h"
#include "res/Resource.h"
#include "transfer/PassVerdict.h"

namespace {
const char* const SEND_FILE_FILTER = "All Files(*.*)|*.*||";
}

// Both File Send commands: with no device connected in Server Mode the user is told before
// choosing a file, and again if the peer left while the open-file dialog was up. Then the run
// starts and the progress dialog shows it until the main window ends it.
void CTerminalDlg::FileSend(PassDirection direction) {
    if (!Net().LinkInUse()) {
        ui::MessageBox("No device is connected to the server",
                       "File Send needs a connected device in Server Mode.");
        return;
    }
    const auto choice = ui::ChooseOpenFile(SEND_FILE_FILTER);
    if (!choice)
        return;
    // Beside the program when that folder may be written, else in the user's documents.
    Transfer().SetOutputDirectory(platform::CaptureDirectory(Serial().Ports().ProgramDirectory()));
    if (const platform::Result r = Transfer().Start(direction, choice->path, choice->name); !r) {
        ui::MessageBox(r.text, r.reason);
        return;
    }
    // The run ends by itself (the capture, a time-out, a lost link) or by the user's Cancel, and
    // the dialog with it. A serial worker that is cut short may still be ending its last write:
    // the port's write lock keeps a console send from mixing with it.
    m_dlgDownload.DoModal(this);
}

void CTerminalDlg::OnBtnFileSendSerial() {
    FileSend(PassDirection::SerialToNet);
}

void CTerminalDlg::OnBtnFileSendNetwork() {
    FileSend(PassDirection::NetToSerial);
}

// A capture time-out (the engine has already reset the capture and ended the transfer).
void CTerminalDlg::OnTimer(int idEvent) {
    UpdateData(true);
    if (idEvent == IDT_SERIAL_TIMEOUT)
        SetStatusText("Serial Timeout");
    else if (idEvent == IDT_NETWORK_TIMEOUT)
        SetStatusText(" Network Timeout");
    if (m_dlgDownload.IsShowing())
        m_dlgDownload.EndDialogLater(IDCANCEL, END_PAUSE_MS);
    UpdateData(false);
}

long CTerminalDlg::OnTransferCancel() {
    Transfer().Cancel();
    // A cancel that arrives when no dialog runs ends nothing.
    m_dlgDownload.EndDialogLater(IDCANCEL, END_PAUSE_MS);
    return 0;
}

// The end of every run: a capture that could not be stored has its box; a completed capture says
// whether it is the sent file, and a lost link which link and why, in the status line. A time-out
// has already set its text (OnTimer).
void CTerminalDlg::OnTransferFinished(const PassOutcome& outcome) {
    if (outcome.end == PassOutcome::End::OpenFailed ||
        outcome.end == PassOutcome::End::WriteFailed || outcome.end == PassOutcome::End::ReadFailed)
        ui::MessageBox(outcome.text, outcome.detail);
    else if (const std::string text = PassStatusText(outcome); !text.empty())
        SetStatusText(text);
    // Where the file is, and what kind of difference it shows, each on a line of the status
    // line's tooltip; the status text stays the verdict.
    std::string tip = outcome.path.empty() ? std::string() : "Stored at " + outcome.path;
    if (!outcome.diagnosis.empty())
        tip += (tip.empty() ? "" : "\n") + outcome.diagnosis;
    m_status->SetTip(CStatusLine::TipPart::Transfer, tip);
}
