#include "app/NetworkOptionsDlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// A control whose caption is also its object name and its name for assistive technology.
template <class T>
T* Named(T* control, const QString& name) {
    control->setObjectName(name);
    control->setAccessibleName(name);
    return control;
}

}  // namespace

RemotePortOptions ToRemotePortOptions(const NetworkOptions& options,
                                      const LineSettings& serialLists) {
    RemotePortOptions remote;
    remote.protocol = options.protocol;
    remote.udpLocalPort = options.protocol == NetProtocol::Udp ? options.udpLocalPort : 0;
    // The Com Port Control option is spoken over TCP only.
    remote.framing = options.protocol == NetProtocol::Udp ? LinkFraming::Raw : options.framing;
    remote.notifications = options.notifications;
    remote.answerTimeoutMs =
        std::clamp(options.answerTimeoutS, NetworkOptions::MIN_ANSWER_TIMEOUT_S,
                   NetworkOptions::MAX_ANSWER_TIMEOUT_S) *
        1000;
    // Raw TCP asks nothing of anybody.
    if (remote.framing == LinkFraming::Rfc2217 && options.askSerialSettings)
        remote.settings = serialLists;
    return remote;
}

CNetworkOptionsDlg::CNetworkOptionsDlg(const NetworkOptions& options, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("NetworkOptions"));
    setWindowTitle(QStringLiteral("Network Options"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* protocol = new QGroupBox(QStringLiteral("Protocol"), this);
    protocol->setObjectName(QStringLiteral("Protocol"));
    m_tcp = Named(new QRadioButton(QStringLiteral("TCP"), protocol), QStringLiteral("TCP"));
    m_udp = Named(new QRadioButton(QStringLiteral("UDP"), protocol), QStringLiteral("UDP"));
    // 0 reads "Any free port"; the port in use is shown in the status line's tooltip.
    m_udpLocalPort = Named(new QSpinBox(protocol), QStringLiteral("Local port"));
    m_udpLocalPort->setRange(0, 65535);
    m_udpLocalPort->setSpecialValueText(QStringLiteral("Any free port"));
    // Room for the special text and the arrows: the spin box sizes itself for "65535".
    m_udpLocalPort->setMinimumWidth(
        m_udpLocalPort->fontMetrics().horizontalAdvance(QStringLiteral("Any free port")) +
        m_udpLocalPort->sizeHint().height() * 2);
    m_udpLocalPort->setToolTip(
        QStringLiteral("The UDP port this program sends from and receives on. Set it to the "
                       "port the device server sends its datagrams to when it has a fixed peer."));
    auto* localLabel = new QLabel(QStringLiteral("Local port"), protocol);
    localLabel->setBuddy(m_udpLocalPort);
    auto* protocolLayout = new QHBoxLayout(protocol);
    protocolLayout->addWidget(m_tcp);
    protocolLayout->addWidget(m_udp);
    protocolLayout->addSpacing(16);
    protocolLayout->addWidget(localLabel);
    protocolLayout->addWidget(m_udpLocalPort);
    protocolLayout->addStretch();

    auto* framing = new QGroupBox(QStringLiteral("Network link"), this);
    m_framing = framing;
    framing->setObjectName(QStringLiteral("Network link"));
    m_raw = Named(new QRadioButton(QStringLiteral("Raw TCP"), framing), QStringLiteral("Raw TCP"));
    m_rfc2217 =
        Named(new QRadioButton(QStringLiteral("Telnet with Com Port Control (RFC 2217)"), framing),
              QStringLiteral("Telnet with Com Port Control (RFC 2217)"));
    auto* framingLayout = new QVBoxLayout(framing);
    framingLayout->addWidget(m_raw);
    framingLayout->addWidget(m_rfc2217);

    m_remote = new QGroupBox(QStringLiteral("Device server's serial port"), this);
    m_remote->setObjectName(QStringLiteral("Device server's serial port"));
    m_askLists = Named(new QRadioButton(QStringLiteral("Set it to the serial console's settings "
                                                       "(baud, data bits, parity, stop bits, flow "
                                                       "control)"),
                                        m_remote),
                       QStringLiteral("Set it to the serial console's settings"));
    m_askNone = Named(new QRadioButton(QStringLiteral("Leave it as it is"), m_remote),
                      QStringLiteral("Leave it as it is"));
    m_notifications =
        Named(new QCheckBox(QStringLiteral("Ask for modem and line state notifications"), m_remote),
              QStringLiteral("Ask for modem and line state notifications"));
    // A device server that opens its serial port slowly may answer after the usual 2 s.
    m_answerTimeout = Named(new QSpinBox(m_remote), QStringLiteral("Answer time"));
    m_answerTimeout->setRange(NetworkOptions::MIN_ANSWER_TIMEOUT_S,
                              NetworkOptions::MAX_ANSWER_TIMEOUT_S);
    m_answerTimeout->setSuffix(QStringLiteral(" s"));
    auto* answerLabel =
        new QLabel(QStringLiteral("Wait for the device server's answers for"), m_remote);
    answerLabel->setBuddy(m_answerTimeout);
    auto* answerLayout = new QHBoxLayout;
    answerLayout->addWidget(answerLabel);
    answerLayout->addWidget(m_answerTimeout);
    answerLayout->addStretch();
    auto* remoteLayout = new QVBoxLayout(m_remote);
    remoteLayout->addWidget(m_askLists);
    remoteLayout->addWidget(m_askNone);
    remoteLayout->addWidget(m_notifications);
    remoteLayout->addLayout(answerLayout);

    m_reconnect = Named(new QCheckBox(QStringLiteral("Reconnect automatically"), this),
                        QStringLiteral("Reconnect automatically"));
    m_reconnect->setToolTip(
        QStringLiteral("When the device server closes the client link or it is lost, connect "
                       "again to the same address and port, waiting 0.5 s and then up to 8 s "
                       "between tries, until the link is up or you press Disconnect."));

    auto* note = new QLabel(
        QStringLiteral("These options apply to the next link: a link that is up keeps its own."),
        this);
    note->setObjectName(QStringLiteral("note"));
    note->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("Cancel"));
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(protocol);
    layout->addWidget(framing);
    layout->addWidget(m_remote);
    layout->addWidget(m_reconnect);
    layout->addWidget(note);
    layout->addWidget(buttons);

    (options.protocol == NetProtocol::Udp ? m_udp : m_tcp)->setChecked(true);
    (options.framing == LinkFraming::Rfc2217 ? m_rfc2217 : m_raw)->setChecked(true);
    (options.askSerialSettings ? m_askLists : m_askNone)->setChecked(true);
    m_notifications->setChecked(options.notifications);
    m_answerTimeout->setValue(options.answerTimeoutS);
    m_reconnect->setChecked(options.reconnect);
    m_udpLocalPort->setValue(static_cast<int>(options.udpLocalPort));
    connect(m_rfc2217, &QRadioButton::toggled, this, &CNetworkOptionsDlg::UpdateEnabled);
    connect(m_udp, &QRadioButton::toggled, this, &CNetworkOptionsDlg::UpdateEnabled);
    UpdateEnabled();
}

NetworkOptions CNetworkOptionsDlg::Options() const {
    NetworkOptions options;
    options.protocol = m_udp->isChecked() ? NetProtocol::Udp : NetProtocol::Tcp;
    options.framing = m_rfc2217->isChecked() ? LinkFraming::Rfc2217 : LinkFraming::Raw;
    options.askSerialSettings = m_askLists->isChecked();
    options.notifications = m_notifications->isChecked();
    options.answerTimeoutS = m_answerTimeout->value();
    options.reconnect = m_reconnect->isChecked();
    options.udpLocalPort = static_cast<unsigned>(m_udpLocalPort->value());
    return options;
}

// The device server's port is only reached through the Com Port Control option, which only TCP
// links speak.
void CNetworkOptionsDlg::UpdateEnabled() {
    const bool tcp = !m_udp->isChecked();
    m_framing->setEnabled(tcp);
    m_udpLocalPort->setEnabled(!tcp);
    m_remote->setEnabled(tcp && m_rfc2217->isChecked());
}
