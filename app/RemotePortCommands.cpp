// The network link's device server as the window shows it: the Network Options command, and
// what the window tells of the serial settings asked over RFC 2217.
#include <QComboBox>
#include <QLabel>
#include <QTimer>

#include "app/SerialSelection.h"
#include "app/TerminalDlg.h"
#include "app/Ui.h"

namespace {

// How long the serial lists must stay unchanged before the device server is asked again.
constexpr int REMOTE_APPLY_DELAY_MS = 300;

}  // namespace

void CTerminalDlg::ConnectRemotePort() {
    NetConsole& net = m_engine.net;
    connect(&net, &NetConsole::remoteSettingsChecked, this, &CTerminalDlg::OnRemoteSettingsChecked);
    connect(&net, &NetConsole::comPortChanged, this, &CTerminalDlg::OnComPortChanged);
    connect(&net, &NetConsole::connected, this, &CTerminalDlg::OnNewLink);
    connect(&net, &NetConsole::peerAttached, this, &CTerminalDlg::OnNewLink);
    // Told after farEndClosed (the link is already shown disconnected) or peerGone.
    connect(&net, &NetConsole::linkDropped, this, &CTerminalDlg::OnLinkDropped);
    m_remoteApplyTimer = new QTimer(this);
    m_remoteApplyTimer->setSingleShot(true);
    m_remoteApplyTimer->setInterval(REMOTE_APPLY_DELAY_MS);
    connect(m_remoteApplyTimer, &QTimer::timeout, this, &CTerminalDlg::ApplyListsRemotely);
    for (QComboBox* list : {m_cbBaud, m_cbData, m_cbStop, m_cbParity, m_cbFlow}) {
        connect(list, &QComboBox::currentIndexChanged, this, [this] {
            PassNetOptions();  // a peer that attaches later gets the lists as they are
            m_remoteApplyTimer->start();
        });
    }
}

void CTerminalDlg::OnNetworkOptions() {
    CNetworkOptionsDlg dlg(m_netOptions, this);
    if (dlg.exec() != QDialog::Accepted)
        return;
    m_netOptions = dlg.Options();
    PassNetOptions();
}

LineSettings CTerminalDlg::SerialListSettings() const {
    return SelectionFromLists(m_cbPort->currentIndex(), m_cbBaud->currentIndex(),
                              m_cbData->currentIndex(), m_cbStop->currentIndex(),
                              m_cbParity->currentIndex(), m_cbFlow->currentIndex())
        .line;
}

void CTerminalDlg::PassNetOptions() {
    Net().SetRemotePortOptions(ToRemotePortOptions(m_netOptions, SerialListSettings()));
}

void CTerminalDlg::OnNewLink() {
    m_bNotRfc2217Told = false;
    m_remoteTip.clear();
    ShowStatusTip();
}

// Only while the link's device server is (being) asked for the option, and only when the
// options say that it takes the serial console's settings.
void CTerminalDlg::ApplyListsRemotely() {
    const ComPortClient* port = Net().ComPort();
    if (!port || m_netOptions.framing != LinkFraming::Rfc2217 || !m_netOptions.askSerialSettings)
        return;
    const auto option = port->Option();
    if (option != ComPortClient::OptionState::Agreed &&
        option != ComPortClient::OptionState::Asking)
        return;
    Net().ApplyRemoteSettings(SerialListSettings());
}

void CTerminalDlg::OnRemoteSettingsChecked(const RemoteSettingsReport& report) {
    if (report.NotRfc2217()) {
        TellNotRfc2217(report.option == ComPortClient::OptionState::Refused);
        return;
    }
    // An answer after its time clears that setting's failure and says how late it came.
    std::string late;
    for (const std::string& line : report.LateAnswers())
        late += "\n" + line;
    if (report.Ok()) {
        m_remoteTip = late.empty() ? "" : "The device server applied every serial setting:" + late;
        ShowStatusTip();
        return;
    }
    std::string lines;
    for (const std::string& failure : report.Failures())
        lines += (lines.empty() ? "" : "\n") + failure;
    m_remoteTip = "The device server did not apply every serial setting:\n" + lines + late;
    ShowStatusTip();
    // A revision of a report already told changes the tooltip only.
    if (report.revised)
        return;
    PostMessageBox("The device server did not apply every serial setting",
                   lines +
                       "\nThe link stays up; the device server's port may not match the "
                       "serial settings asked.");
}

void CTerminalDlg::OnLinkDropped(const QString& text) {
    SetStatusText(Net().ServerMode() ? " Peer dropped : the device server does not read"
                                     : " Disconnected : the device server does not read");
    m_remoteTip = "Link dropped: " + text.toStdString() +
                  "\nThe device server kept sending requests without reading the replies; check "
                  "the device server and its network port.";
    ShowStatusTip();
}

// A server that refuses or never answers the option is told also when no settings were asked.
void CTerminalDlg::OnComPortChanged() {
    const ComPortClient* port = Net().ComPort();
    if (!port)
        return;
    if (port->Option() == ComPortClient::OptionState::Refused)
        TellNotRfc2217(true);
    else if (port->Option() == ComPortClient::OptionState::NoAnswer)
        TellNotRfc2217(false);
}

void CTerminalDlg::TellNotRfc2217(bool refused) {
    if (m_bNotRfc2217Told)
        return;
    m_bNotRfc2217Told = true;
    const ComPortClient* port = Net().ComPort();
    const std::string within = RemoteSettingsReport::SecondsText(
        port ? port->AnswerTimeoutMs() : ComPortClient::ACK_TIMEOUT_MS);
    m_remoteTip = std::string("Device server: ") + NOT_RFC2217_SERVER +
                  (refused ? " (it refused the Com Port Control option)"
                           : " (no answer to the Com Port Control option within " + within + ")");
    ShowStatusTip();
    PostMessageBox(std::string("The device server is ") + NOT_RFC2217_SERVER,
                   (refused ? std::string("It refused the Com Port Control option (RFC 2217).")
                            : "It did not answer the Com Port Control option (RFC 2217) within " +
                                  within + ".") +
                       "\nCheck that the device server's port is in RFC 2217 (Telnet Com Port "
                       "Control) mode, or choose Raw TCP in Network Options. The link stays up; "
                       "its data is still framed as Telnet.");
}

// A box opened in the middle of the network console's receive path would run its own event
// loop there, under the console's feet: it opens once that path has returned.
void CTerminalDlg::PostMessageBox(const std::string& text, const std::string& detail) {
    QTimer::singleShot(0, this, [text, detail] { ui::MessageBox(text, detail); });
}

void CTerminalDlg::ShowStatusTip() {
    std::string tip = m_transferTip;
    if (!m_remoteTip.empty())
        tip += (tip.empty() ? "" : "\n") + m_remoteTip;
    if (m_nBytesNotLogged > 0)
        tip += (tip.empty() ? "" : "\n") + std::to_string(m_nBytesNotLogged) +
               (m_nBytesNotLogged == 1 ? " byte not logged" : " bytes not logged");
    m_staticStatus->setToolTip(QString::fromStdString(tip));
}
