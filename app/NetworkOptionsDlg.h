// "Network Options": how the network console frames the links it makes from now on. Raw TCP
// carries the bytes as they are; Telnet with the Com Port Control option also sets the device
// server's serial port and asks for its line notifications. Chosen for the session only.
#pragma once

#include <QDialog>

#include "net/RemotePort.h"

class QCheckBox;
class QGroupBox;
class QRadioButton;
class QSpinBox;

// The choice the dialog edits. The serial settings themselves are not part of it: with
// `askSerialSettings` the console's own lists are asked of the device server as they stand when
// a link comes up.
struct NetworkOptions {
    // The range of the answer time, in seconds.
    static constexpr int MIN_ANSWER_TIMEOUT_S = 1;
    static constexpr int MAX_ANSWER_TIMEOUT_S = 30;

    // TCP only: a UDP link is always raw.
    LinkFraming framing = LinkFraming::Raw;
    bool askSerialSettings = true;
    bool notifications = true;
    // How long the device server has to answer the option and each setting (seconds).
    int answerTimeoutS = 2;
    NetProtocol protocol = NetProtocol::Tcp;
    // A client link the device server closes, or that is lost, is made again by itself.
    bool reconnect = false;
    // UDP only: the local port datagrams go out from and come back to (0: any free one). A device
    // server with a fixed peer is configured to send to this port.
    unsigned udpLocalPort = 0;

    bool operator==(const NetworkOptions&) const = default;
};

// The options a link made now gets, with `serialLists` standing for the serial console's lists
// (asked of the device server only in RFC 2217 framing).
RemotePortOptions ToRemotePortOptions(const NetworkOptions& options,
                                      const LineSettings& serialLists);

class CNetworkOptionsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CNetworkOptionsDlg(const NetworkOptions& options, QWidget* parent = nullptr);

    // The choice as the controls show it.
    NetworkOptions Options() const;

private:
    void UpdateEnabled();

    QRadioButton* m_tcp = nullptr;
    QRadioButton* m_udp = nullptr;
    QSpinBox* m_udpLocalPort = nullptr;
    QGroupBox* m_framing = nullptr;
    QRadioButton* m_raw = nullptr;
    QRadioButton* m_rfc2217 = nullptr;
    QGroupBox* m_remote = nullptr;
    QRadioButton* m_askLists = nullptr;
    QRadioButton* m_askNone = nullptr;
    QCheckBox* m_notifications = nullptr;
    QSpinBox* m_answerTimeout = nullptr;
    QCheckBox* m_reconnect = nullptr;
};
