#include "app/DeviceServerFeature.h"

#include <QAction>
#include <QComboBox>

#include "app/SerialSelection.h"
#include "app/StatusLine.h"
#include "app/Ui.h"
#include "transfer/TerminalEngine.h"

namespace {

// How long the serial lists must stay unchanged before the device server is asked again.
constexpr int REMOTE_APPLY_DELAY_MS = 300;

// A box opened in the middle of the network console's receive path would run its own event loop
// there, under the console's feet: it opens once that path has returned.
void PostMessageBox(QObject* context, const std::string& text, const std::string& detail) {
    QTimer::singleShot(0, context, [text, detail] { ui::MessageBox(text, detail); });
}

}  // namespace

LineSettings SerialLineLists::Settings() const {
    // The port index does not take part in the line settings.
    return SelectionFromLists(0, baud->currentIndex(), data->currentIndex(), stop->currentIndex(),
                              parity->currentIndex(), flow->currentIndex())
        .line;
}

CDeviceServerFeature::CDeviceServerFeature(TerminalEngine& engine, const SerialLineLists& lists,
                                           CStatusLine& status, QWidget* window)
    : m_engine(engine),
      m_lists(lists),
      m_status(status),
      m_window(window),
      m_reconnect(engine.net, status, [this] { PassNetOptions(); }) {
    NetConsole& net = m_engine.net;
    connect(&net, &NetConsole::remoteSettingsChecked, this,
            &CDeviceServerFeature::OnRemoteSettingsChecked);
    connect(&net, &NetConsole::comPortChanged, this, &CDeviceServerFeature::OnComPortChanged);
    connect(&net, &NetConsole::connected, this, &CDeviceServerFeature::OnNewLink);
    connect(&net, &NetConsole::peerAttached, this, &CDeviceServerFeature::OnNewLink);
    // Told after farEndClosed (the link is already shown disconnected) or peerGone.
    connect(&net, &NetConsole::linkDropped, this, &CDeviceServerFeature::OnLinkDropped);
    m_remoteApplyTimer.setSingleShot(true);
    m_remoteApplyTimer.setInterval(REMOTE_APPLY_DELAY_MS);
    connect(&m_remoteApplyTimer, &QTimer::timeout, this, &CDeviceServerFeature::ApplyListsRemotely);
    for (QComboBox* list : {lists.baud, lists.data, lists.stop, lists.parity, lists.flow}) {
        connect(list, &QComboBox::currentIndexChanged, this, [this] {
            PassNetOptions();  // a peer that attaches later gets the lists as they are
            m_remoteApplyTimer.start();
        });
    }
}

void CDeviceServerFeature::AddMenuEntries(CFeatureMenu& menu) {
    connect(menu.Add(MenuPlace::NetworkOptions, QStringLiteral("Network Options...")),
            &QAction::triggered, this, [this] { OnNetworkOptions(); });
}

void CDeviceServerFeature::OnNetworkOptions() {
    CNetworkOptionsDlg dlg(m_netOptions, m_window);
    if (dlg.exec() != QDialog::Accepted)
        return;
    m_netOptions = dlg.Options();
    PassNetOptions();
}

void CDeviceServerFeature::PassNetOptions() {
    m_engine.net.SetRemotePortOptions(ToRemotePortOptions(m_netOptions, m_lists.Settings()));
}

bool CDeviceServerFeature::StartReconnecting(const std::string& address, unsigned port) {
    if (!m_netOptions.reconnect)
        return false;
    m_reconnect.Start(address, port);
    return true;
}

void CDeviceServerFeature::SetTip(const std::string& tip) {
    m_status.SetTip(CStatusLine::TipPart::DeviceServer, tip);
}

void CDeviceServerFeature::OnNewLink() {
    m_bNotRfc2217Told = false;
    // A UDP link has no device server to ask: the tip says where the device's datagrams go.
    const NetConsole& net = m_engine.net;
    SetTip(net.Udp() ? "UDP link: local port " + std::to_string(net.LocalPort()) : std::string());
}

// Only while the link's device server is (being) asked for the option, and only when the
// options say that it takes the serial console's settings.
void CDeviceServerFeature::ApplyListsRemotely() {
    const ComPortClient* port = m_engine.net.ComPort();
    if (!port || m_netOptions.framing != LinkFraming::Rfc2217 || !m_netOptions.askSerialSettings)
        return;
    const auto option = port->Option();
    if (option != ComPortClient::OptionState::Agreed &&
        option != ComPortClient::OptionState::Asking)
        return;
    m_engine.net.ApplyRemoteSettings(m_lists.Settings());
}

void CDeviceServerFeature::OnRemoteSettingsChecked(const RemoteSettingsReport& report) {
    if (report.NotRfc2217()) {
        TellNotRfc2217(report.option == ComPortClient::OptionState::Refused);
        return;
    }
    // An answer after its time clears that setting's failure and says how late it came.
    std::string late;
    for (const std::string& line : report.LateAnswers())
        late += "\n" + line;
    if (report.Ok()) {
        SetTip(late.empty() ? "" : "The device server applied every serial setting:" + late);
        return;
    }
    std::string lines;
    for (const std::string& failure : report.Failures())
        lines += (lines.empty() ? "" : "\n") + failure;
    SetTip("The device server did not apply every serial setting:\n" + lines + late);
    // A revision of a report already told changes the tooltip only.
    if (report.revised)
        return;
    PostMessageBox(this, "The device server did not apply every serial setting",
                   lines +
                       "\nThe link stays up; the device server's port may not match the "
                       "serial settings asked.");
}

void CDeviceServerFeature::OnLinkDropped(const QString& text) {
    m_status.SetText(m_engine.net.ServerMode() ? " Peer dropped : the device server does not read"
                                               : " Disconnected : the device server does not read");
    SetTip("Link dropped: " + text.toStdString() +
           "\nThe device server kept sending requests without reading the replies; check the "
           "device server and its network port.");
    m_reconnect.Restate();  // the cause leads the reconnecting's texts
}

// A server that refuses or never answers the option is told also when no settings were asked.
void CDeviceServerFeature::OnComPortChanged() {
    const ComPortClient* port = m_engine.net.ComPort();
    if (!port)
        return;
    if (port->Option() == ComPortClient::OptionState::Refused)
        TellNotRfc2217(true);
    else if (port->Option() == ComPortClient::OptionState::NoAnswer)
        TellNotRfc2217(false);
}

void CDeviceServerFeature::TellNotRfc2217(bool refused) {
    if (m_bNotRfc2217Told)
        return;
    m_bNotRfc2217Told = true;
    const ComPortClient* port = m_engine.net.ComPort();
    const std::string within = RemoteSettingsReport::SecondsText(
        port ? port->AnswerTimeoutMs() : ComPortClient::ACK_TIMEOUT_MS);
    SetTip(std::string("Device server: ") + NOT_RFC2217_SERVER +
           (refused ? " (it refused the Com Port Control option)"
                    : " (no answer to the Com Port Control option within " + within + ")"));
    PostMessageBox(this, std::string("The device server is ") + NOT_RFC2217_SERVER,
                   (refused ? std::string("It refused the Com Port Control option (RFC 2217).")
                            : "It did not answer the Com Port Control option (RFC 2217) within " +
                                  within + ".") +
                       "\nCheck that the device server's port is in RFC 2217 (Telnet Com Port "
                       "Control) mode, or choose Raw TCP in Network Options. The link stays up; "
                       "its data is still framed as Telnet.");
}
