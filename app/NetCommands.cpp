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
    const bool valid = UpdateData(true);
    if (NetConnected()) {
        DisconnectNet();
        UpdateData(false);
        return;
    }
    if (!valid)
        return;  // the port number was refused and prompted for: nothing to connect to
    const bool server = m_chkServerMode->isChecked();
    const std::string address = m_ipAddress->text().toStdString();
    if (m_nPort <= MAX_TCP_PORT)
        m_strNetConsole.clear();
    const platform::Result r =
        server ? Net().StartServer(m_nPort) : Net().Connect(address, m_nPort);
    // A failure ends the command right after its message: no copy back to the controls.
    if (!r) {
        ui::MessageBox(r.text, r.reason);
        return;
    }
    GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(false);
    if (server) {
        SetStatusText(" Start Server Mode");
    } else {
        m_ipAddress->setEnabled(false);
        SetStatusText(" Connected : " + address + ":" + std::to_string(m_nPort));
    }
    UpdateFileSendButtons();
    m_btnConnect->setText(QStringLiteral("Disconnect"));
    m_chkServerMode->setEnabled(false);
    UpdateData(false);
}

void CTerminalDlg::OnCheckServerMode() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    m_ipAddress->setEnabled(!m_chkServerMode->isChecked());
    UpdateData(false);
}

void CTerminalDlg::OnButtonIpSend() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    // Without a link (idle, or a server without a peer) the line is discarded without a message.
    if (const platform::Result r = Net().Send(m_strNetMessage); r.error == EAGAIN)
        SetStatusText(" Send incomplete : the peer does not read");
    m_strNetMessage.clear();
    UpdateData(false);
}

void CTerminalDlg::OnButtonIpClear() {
    UpdateData(true);  // a refused field has had its prompt; this command does not use it
    m_strNetConsole.clear();
    Net().Clear();
    UpdateData(false);
}
