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

void CTerminalDlg::OnButtonIpConnect() {
    UpdateData(true);
    if (m_bNetConnected) {
        m_btnConnect->setText(QStringLiteral("Connect"));
        m_bNetConnected = 0;
        if (m_chkServerMode->isChecked()) {
            delete m_pPeerSocket;
            m_pPeerSocket = nullptr;
            m_nPeerCount = 0;
            if (m_pListenSocket)
                m_pListenSocket->Close();
            delete m_pListenSocket;
            m_pListenSocket = nullptr;
            GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(true);
            SetStatusText(" End Server Mode");
        } else {
            if (m_pClientSocket)
                m_pClientSocket->Close();
            delete m_pClientSocket;
            m_pClientSocket = nullptr;
            m_ipAddress->setEnabled(true);
            GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(true);
            SetStatusText(" Disconnected : " + m_ipAddress->text().toStdString());
        }
        GetDlgItem(IDC_BTN_FILE_SEND_NETWORK)->setEnabled(false);
        GetDlgItem(IDC_BTN_FILE_SEND_SERIAL)->setEnabled(false);
        m_chkServerMode->setEnabled(true);
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
    if (m_chkServerMode->isChecked()) {
        m_nPeerCount = 0;
        delete m_pListenSocket;
        m_pListenSocket = new CLinkSocket;
        if (!m_pListenSocket->Create(m_nPort, 1, platform::FD_ALL_EVENTS, nullptr)) {
            platform::MessageBox("Can't create socket.", m_pListenSocket->LastError());
            delete m_pListenSocket;
            m_pListenSocket = nullptr;
            return;
        }
        if (!m_pListenSocket->Listen(LISTEN_BACKLOG)) {
            platform::MessageBox("Can't listen client.", m_pListenSocket->LastError());
            m_pListenSocket->Close();
            delete m_pListenSocket;
            m_pListenSocket = nullptr;
            return;
        }
        GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(false);
        SetStatusText(" Start Server Mode");
    } else {
        delete m_pClientSocket;
        m_pClientSocket = new CLinkSocket;
        if (!m_pClientSocket->Create(0, 1, platform::FD_ALL_EVENTS, nullptr)) {
            platform::MessageBox("Can't create socket", m_pClientSocket->LastError());
            delete m_pClientSocket;
            m_pClientSocket = nullptr;
            return;
        }
        if (!m_pClientSocket->ConnectWithTimeout(address, m_nPort, CONNECT_TIMEOUT_MS)) {
            platform::MessageBox("Can't connect socket", m_pClientSocket->LastError());
            m_pClientSocket->Close();
            delete m_pClientSocket;
            m_pClientSocket = nullptr;
            return;
        }
        GetDlgItem(IDC_EDIT_IP_PORT)->setEnabled(false);
        m_ipAddress->setEnabled(false);
        SetStatusText(" Connected : " + m_ipAddress->text().toStdString() + ":" +
                      std::to_string(m_nPort));
    }
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
