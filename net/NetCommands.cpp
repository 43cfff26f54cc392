// The network console's commands: Connect/Disconnect (client or server), Server Mode, Send and
// Clear.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <vector>

#include "app/TerminalDlg.h"
#include "net/LinkSocket.h"
#include "platform/Ui.h"
#include "res/Resource.h"
#include "serial/EncodeSendLine.h"

namespace {

constexpr int SEND_BUFFER_SIZE = 1024;
constexpr int CONNECT_TIMEOUT_MS = 2000;
constexpr int LISTEN_BACKLOG = 5;
constexpr unsigned MAX_TCP_PORT = 65535;

// Trailing space, tab, line feed, vertical tab, form feed and carriage return.
void TrimRight(std::string& s) {
    const auto end = s.find_last_not_of(" \t\n\v\f\r");
    s.erase(end == std::string::npos ? 0 : end + 1);
}

}  // namespace

// Disconnect or stop the server (Connect/Disconnect while connected), up to the copy back.
static void StopNetLink(CTerminalDlg& dlg) {
    dlg.m_btnConnect->setText(QStringLiteral("Connect"));
    dlg.m_bNetConnected = 0;
    if (dlg.m_chkServerMode->isChecked()) {
        delete dlg.m_pPeerSocket;
        dlg.m_pPeerSocket = nullptr;
        dlg.m_nPeerCount = 0;
        if (dlg.m_pListenSocket)
            dlg.m_pListenSocket->Close();
        delete dlg.m_pListenSocket;
        dlg.m_pListenSocket = nullptr;
        dlg.GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(true);
        dlg.SetStatusText(" End Server Mode");
    } else {
        if (dlg.m_pClientSocket)
            dlg.m_pClientSocket->Close();
        delete dlg.m_pClientSocket;
        dlg.m_pClientSocket = nullptr;
        dlg.m_ipAddress->setEnabled(true);
        dlg.GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(true);
        dlg.SetStatusText(" Disconnected : " + dlg.m_ipAddress->text().toStdString());
    }
    dlg.GetDlgItem(IDC_BTN_FILE_SEND_NETWORK)->setEnabled(false);
    dlg.GetDlgItem(IDC_BTN_FILE_SEND_SERIAL)->setEnabled(false);
    dlg.m_chkServerMode->setEnabled(true);
}

// Server Mode: a fresh listening socket on the port. False (after its message) on failure.
static bool StartServer(CTerminalDlg& dlg) {
    dlg.m_nPeerCount = 0;
    delete dlg.m_pListenSocket;
    auto* listener = dlg.m_pListenSocket = new CLinkSocket;
    if (!listener->Create(dlg.m_nPort, 1, platform::FD_ALL_EVENTS, nullptr)) {
        platform::MessageBox("Can't create socket.", listener->LastError());
        delete listener;
        dlg.m_pListenSocket = nullptr;
        return false;
    }
    if (!listener->Listen(LISTEN_BACKLOG)) {
        platform::MessageBox("Can't listen client.", listener->LastError());
        listener->Close();
        delete listener;
        dlg.m_pListenSocket = nullptr;
        return false;
    }
    dlg.GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(false);
    dlg.SetStatusText(" Start Server Mode");
    return true;
}

// Client mode: a fresh link connected within the time-out. False (after its message) on failure.
static bool ConnectClient(CTerminalDlg& dlg, const std::string& address) {
    delete dlg.m_pClientSocket;
    auto* link = dlg.m_pClientSocket = new CLinkSocket;
    if (!link->Create(0, 1, platform::FD_ALL_EVENTS, nullptr)) {
        platform::MessageBox("Can't create socket", link->LastError());
        delete link;
        dlg.m_pClientSocket = nullptr;
        return false;
    }
    if (!link->ConnectWithTimeout(address, dlg.m_nPort, CONNECT_TIMEOUT_MS)) {
        platform::MessageBox("Can't connect socket", link->LastError());
        link->Close();
        delete link;
        dlg.m_pClientSocket = nullptr;
        return false;
    }
    dlg.GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(false);
    dlg.m_ipAddress->setEnabled(false);
    dlg.SetStatusText(" Connected : " + dlg.m_ipAddress->text().toStdString() + ":" +
                      std::to_string(dlg.m_nPort));
    return true;
}

void CTerminalDlg::OnButtonIpConnect() {
    UpdateData(true);
    if (m_bNetConnected) {
        StopNetLink(*this);
        UpdateData(false);
        return;
    }
    // A port the 16-bit field cannot hold would put the link on another port than the one the
    // status line shows: refuse it before anything changes.
    if (m_nPort > MAX_TCP_PORT) {
        platform::MessageBox("Invalid port number: use 0 to 65535",
                             std::to_string(m_nPort) + " is not a TCP port.");
        return;
    }
    m_strNetConsole.clear();
    m_netRing.Clear();
    const std::string address = m_ipAddress->text().toStdString();
    // A failure ends the command right after its message: no copy back to the controls.
    if (!(m_chkServerMode->isChecked() ? StartServer(*this) : ConnectClient(*this, address)))
        return;
    if (m_bSerialOpen) {
        GetDlgItem(IDC_BTN_FILE_SEND_NETWORK)->setEnabled(true);
        GetDlgItem(IDC_BTN_FILE_SEND_SERIAL)->setEnabled(true);
    }
    m_btnConnect->setText(QStringLiteral("Disconnect"));
    m_bNetConnected = 1;
    m_chkServerMode->setEnabled(false);
    UpdateData(false);
}

void CTerminalDlg::OnCheckServerMode() {
    UpdateData(true);
    m_ipAddress->setEnabled(!m_chkServerMode->isChecked());
    UpdateData(false);
}

void CTerminalDlg::OnButtonIpSend() {
    UpdateData(true);
    TrimRight(m_strNetMessage);
    if (m_bNetConnected) {
        // Characters beyond ASCII take several bytes each: the buffer grows with the line.
        std::vector<unsigned char> buf(std::max<size_t>(SEND_BUFFER_SIZE, m_strNetMessage.size()));
        const int count = EncodeSendLine(m_strNetMessage, buf.data(), static_cast<int>(buf.size()));
        // In Server Mode without a peer the line is discarded without a message.
        if (CLinkSocket* link = NetLinkInUse(); link && count > 0)
            link->Send(buf.data(), count, 0);
    }
    m_strNetMessage.clear();
    UpdateData(false);
}

void CTerminalDlg::OnButtonIpClear() {
    UpdateData(true);
    m_strNetConsole.clear();
    m_netRing.Clear();
    UpdateData(false);
}
