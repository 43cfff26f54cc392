// The network console's commands: Connect/Disconnect (client or server), Server Mode, Send and
// Clear.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <cerrno>

#include "app/TerminalDlg.h"
#include "app/Ui.h"
#include "res/Resource.h"

// Disconnect, or stop the server, and put the controls back. Also what the device closing the
// client link does, without the command's exchange: a field the user is editing must not keep
// the link half open.
void CTerminalDlg::DisconnectNet() {
    const bool server = Net().ServerMode();
    Net().Stop();
    m_btnConnect->setText(QStringLiteral("Connect"));
    if (server) {
        SetStatusText(" End Server Mode");
    } else {
        m_ipAddress->setEnabled(true);
        SetStatusText(" Disconnected : " + m_ipAddress->text().toStdString());
    }
    GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(true);
    UpdateFileSendButtons();
    m_chkServerMode->setEnabled(true);
}

void CTerminalDlg::OnButtonIpConnect() {
    // While reconnecting the button is Disconnect, also during a try.
    const bool reconnecting = m_deviceServer->Reconnecting();
    if (Net().IsConnecting() && !reconnecting)
        return;  // one attempt at a time: its outcome ends the command
    const bool valid = UpdateData(true);
    if (NetConnected() || reconnecting) {
        m_deviceServer->StopReconnecting();
        DisconnectNet();
        UpdateData(false);
        return;
    }
    if (!valid)
        return;  // the port number was refused and prompted for: nothing to connect to
    const bool server = m_chkServerMode->isChecked();
    // The link made now is framed as the network options say, with the lists as they stand.
    m_deviceServer->PassNetOptions();
    if (m_nPort <= MAX_TCP_PORT)
        m_strNetConsole.clear();
    if (!server) {
        // The connect runs on while the window goes on answering; OnNetConnected or
        // OnNetConnectFailed ends the command, within the 2-second time-out.
        if (const platform::Result r = Net().Connect(m_ipAddress->text().toStdString(), m_nPort);
            !r) {
            ui::MessageBox(r.text, r.reason);
            return;
        }
        ShowConnectAttempt(true);
        return;
    }
    // A failure ends the command right after its message: no copy back to the controls.
    if (const platform::Result r = Net().StartServer(m_nPort); !r) {
        ui::MessageBox(r.text, r.reason);
        return;
    }
    GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(false);
    SetStatusText(" Start Server Mode");
    UpdateFileSendButtons();
    m_btnConnect->setText(QStringLiteral("Disconnect"));
    m_chkServerMode->setEnabled(false);
    UpdateData(false);
}

void CTerminalDlg::ShowConnectAttempt(bool attempting) {
    if (attempting)
        m_bConnectHadFocus = m_btnConnect->hasFocus();
    for (QWidget* control :
         {static_cast<QWidget*>(m_btnConnect), static_cast<QWidget*>(m_chkServerMode),
          static_cast<QWidget*>(m_ipAddress), GetDlgItem(IDC_EDIT_IP_PORT)})
        control->setEnabled(!attempting);
    // A disabled button hands its focus on; it gets it back when the attempt is over.
    if (!attempting && m_bConnectHadFocus)
        m_btnConnect->setFocus();
}

void CTerminalDlg::OnNetConnected() {
    m_deviceServer->StopReconnecting();  // a link made again by itself is up
    ShowConnectAttempt(false);
    // The rest of the Connect command. The user may have typed meanwhile: the controls are read
    // first, so that the copy back at the end keeps what they hold.
    const bool exchanged = UpdateData(true);
    m_strNetConsole.clear();  // emptied by the command; nothing has been received yet
    GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(false);
    m_ipAddress->setEnabled(false);
    SetStatusText(" Connected : " + m_ipAddress->text().toStdString() + ":" +
                  std::to_string(m_nPort));
    UpdateFileSendButtons();
    m_btnConnect->setText(QStringLiteral("Disconnect"));
    m_chkServerMode->setEnabled(false);
    if (exchanged)
        UpdateData(false);
}

// Ends the command right after its message, as every failed Connect does: the console stays
// idle and the members are not copied back.
void CTerminalDlg::OnNetConnectFailed(const platform::Result& failure) {
    if (m_deviceServer->Reconnecting())
        return;  // the status line names the next try, its tooltip this failure
    ShowConnectAttempt(false);
    ui::MessageBox(failure.text, failure.reason);
}

// Back to idle as the Disconnect command goes, so the status line says so at once. No member
// changes here, so there is no exchange: the lines being typed and the list choices not yet used
// stay as the user left them.
void CTerminalDlg::OnNetFarEndClosed() {
    DisconnectNet();
    if (m_deviceServer->StartReconnecting(Net().Address(), Net().Port()))
        ShowReconnecting();
}

void CTerminalDlg::ShowReconnecting() {
    m_bConnectHadFocus = false;  // the button keeps its focus: it stays enabled
    m_btnConnect->setText(QStringLiteral("Disconnect"));
    for (QWidget* control : {static_cast<QWidget*>(m_chkServerMode),
                             static_cast<QWidget*>(m_ipAddress), GetDlgItem(IDC_EDIT_IP_PORT)})
        control->setEnabled(false);
}

void CTerminalDlg::OnCheckServerMode() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    m_ipAddress->setEnabled(!m_chkServerMode->isChecked());
    UpdateData(false);
}

void CTerminalDlg::OnButtonIpSend() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    // Without a link (idle, or a server without a peer) the line is discarded without a message.
    // A line that is not hex pairs while Send as Hex is on stays to be put right.
    const std::optional<platform::Result> r = SendSide().Send(SendLine::Network, m_strNetMessage);
    if (r && r->error == EAGAIN)
        SetStatusText(" Send incomplete : the peer does not read");
    if (r)
        m_strNetMessage.clear();
    UpdateData(false);
}

void CTerminalDlg::OnButtonIpClear() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    m_strNetConsole.clear();
    Net().Clear();
    UpdateData(false);
}
