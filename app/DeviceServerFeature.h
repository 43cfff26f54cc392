// The network link's device server as the window shows it: the Network Options command (how the
// next link is framed, what is asked of the device server), the serial lists asked again when
// they change, and what the window tells of the settings asked over RFC 2217: the status line's
// tooltip part and a box for a failure, a server that does not speak the option, or a link
// dropped because the server does not read.
#pragma once

#include <QTimer>

#include <string>

#include "app/DialogFeature.h"
#include "app/LinkReconnector.h"
#include "app/NetworkOptionsDlg.h"

class CStatusLine;
class QComboBox;
class QWidget;
class TerminalEngine;
struct RemoteSettingsReport;

// The serial console's line lists (the port list aside), as the device server is asked for them.
struct SerialLineLists {
    QComboBox* baud = nullptr;
    QComboBox* data = nullptr;
    QComboBox* stop = nullptr;
    QComboBox* parity = nullptr;
    QComboBox* flow = nullptr;

    // The lists as they stand, as line settings.
    LineSettings Settings() const;
};

class CDeviceServerFeature : public CDialogFeature {
    Q_OBJECT
public:
    CDeviceServerFeature(TerminalEngine& engine, const SerialLineLists& lists, CStatusLine& status,
                         QWidget* window);

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Chooses how the next network link is framed (raw TCP or RFC 2217) and what is asked of
    // the device server; the choice lasts for the session.
    void OnNetworkOptions();
    const NetworkOptions& Options() const { return m_netOptions; }
    // Hands the network console the options for its next link, with the serial lists as they
    // stand now.
    void PassNetOptions();

    // The device server closed the client link, or it was lost, and the window shows it idle:
    // with "Reconnect automatically" on, the link's address and port are tried again from now
    // on. True when they are.
    bool StartReconnecting(const std::string& address, unsigned port);
    // Disconnect: no further try (a try in progress is the caller's to stop).
    void StopReconnecting() { m_reconnect.Stop(); }
    bool Reconnecting() const { return m_reconnect.Active(); }

private:
    // A new link: nothing has been told of its device server yet.
    void OnNewLink();
    // What the device server did with the serial settings asked of it; a failure is named in the
    // status line's tooltip and in a message box, and the link stays up.
    void OnRemoteSettingsChecked(const RemoteSettingsReport& report);
    void OnComPortChanged();
    // Told once per link: the device server does not speak the Com Port Control option.
    void TellNotRfc2217(bool refused);
    // The network console dropped a device server that does not read.
    void OnLinkDropped(const QString& text);
    // The serial lists changed: an RFC 2217 link asks its device server for them again.
    void ApplyListsRemotely();
    void SetTip(const std::string& tip);

    TerminalEngine& m_engine;
    SerialLineLists m_lists;
    CStatusLine& m_status;
    QWidget* m_window;
    NetworkOptions m_netOptions;
    bool m_bNotRfc2217Told = false;
    // Lets a run of list changes (a wheel over the baud list) end before the device server is
    // asked again.
    QTimer m_remoteApplyTimer;
    CLinkReconnector m_reconnect;
};
