// The network console without its window: a TCP client link, or a listening socket serving one
// peer at a time, the receive history, and typed-line sends. Everything runs on the UI thread;
// results come back as values and signals, never as boxes.
//
// Every operation may be called in any state (idle, connecting, connected, listening, serving):
// Connect and StartServer first end whatever runs, Stop ends anything, and a Connect while
// connecting supersedes the earlier attempt, whose outcome is never told.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "display/ReceiveTap.h"
#include "display/RingBuffer.h"
#include "net/LinkSocket.h"
#include "net/RemotePort.h"
#include "platform/Result.h"

Q_DECLARE_METATYPE(platform::Result)
Q_DECLARE_METATYPE(RemoteSettingsReport)
Q_DECLARE_METATYPE(platform::ModemState)
Q_DECLARE_METATYPE(comport::LineState)

constexpr int CONNECT_TIMEOUT_MS = 2000;
constexpr int LISTEN_BACKLOG = 5;
// Refused clients taken off the listen queue per accept notification while a peer is served.
constexpr int REFUSED_ACCEPTS_PER_NOTIFICATION = 64;
constexpr unsigned MAX_TCP_PORT = 65535;
// How long a server stops accepting after accept failed for want of file descriptors.
constexpr int ACCEPT_PAUSE_MS = 500;

// What the network console sends of a typed line: the line without its trailing space, tab, line
// feed, vertical tab, form feed and carriage return.
std::string_view TrimSendLine(std::string_view line);

class NetConsole : public QObject, private ILinkOwner {
    Q_OBJECT
public:
    explicit NetConsole(QObject* parent = nullptr);
    ~NetConsole() override;

    // The console's one state; every query below follows from it.
    enum class State {
        Idle,        // no socket at all
        Connecting,  // a client link is being made (ClientSocket() is the attempt)
        Connected,   // the client link is up (also after the far end closed, until Stop)
        Listening,   // Server Mode without a peer
        Serving,     // Server Mode with its one peer attached
    };

    // Client mode: starts a fresh link to `address` (dotted IPv4) and returns without waiting.
    // Refused at once, with nothing changed, for a port above 65535 ("Invalid port number: use 0
    // to 65535"); otherwise whatever ran is ended first, and a socket that cannot be created
    // fails at once with "Can't create socket", leaving the console idle. On success the console
    // is connecting: within CONNECT_TIMEOUT_MS exactly one of connected() or connectFailed()
    // follows (never before Connect has returned), unless Stop, StartServer or another Connect
    // ends the attempt first.
    // Over UDP (RemotePortOptions::protocol) the link is a datagram socket bound to the options'
    // udpLocalPort (0: any free one; "Can't create socket" when the bind fails), sending each
    // line as one datagram to `address`:`port` and taking datagrams only from there. It is
    // connected at once, before Connect returns; connected() still follows after it has
    // returned. A datagram the device refuses (ICMP port unreachable) is told by failure() or
    // by the next send.
    platform::Result Connect(const std::string& address, unsigned port);
    // Server Mode: a fresh listening socket on `port` (backlog 5), after ending whatever ran.
    // Over UDP: a datagram socket bound to `port`, listening until a first datagram comes
    // (peerAttached then), answering the sender of the last datagram from then on.
    // Fails with "Invalid port number: use 0 to 65535" (nothing changed), or "Can't create
    // socket." or "Can't listen client." (the console then idle).
    platform::Result StartServer(unsigned port);
    // Ends anything: a connect in progress (silently), the client link, or the server and its
    // peer. The console is idle afterwards.
    void Stop();
    // Sends a typed line (trailing blanks cut, escapes decoded) on the link in use, without
    // waiting: what the socket does not take at once is not sent. Fails when there is no link
    // (idle, or a server without a peer: the line is then discarded), and with "The device does
    // not take the bytes: the line was not sent completely" (error EAGAIN, the counts in the
    // reason) when the peer does not read.
    platform::Result Send(std::string_view line);
    // Sends `count` bytes as they are (nothing trimmed or decoded; Telnet-escaped on an RFC 2217
    // link) on the link in use, without waiting, with the same failures as Send.
    platform::Result SendBytes(const unsigned char* bytes, int count);
    void Clear();

    State GetState() const { return m_state; }
    // A client link is up or the server is started.
    bool IsConnected() const {
        return m_state == State::Connected || m_state == State::Listening ||
               m_state == State::Serving;
    }
    bool IsConnecting() const { return m_state == State::Connecting; }
    // The server is started (listening, with or without its peer).
    bool ServerMode() const { return m_state == State::Listening || m_state == State::Serving; }
    int PeerCount() const { return m_state == State::Serving ? 1 : 0; }
    const std::string& Address() const { return m_strAddress; }
    // The link in use (or Server Mode's socket) is UDP.
    bool Udp() const { return m_bUdp && m_pLink != nullptr; }
    // The local port of the client link or of the server's socket (0 when there is none).
    unsigned LocalPort() const;
    unsigned Port() const { return m_nPort; }
    // The link in use: the peer in Server Mode, else the connected client link (null when there
    // is none, also while a connect is in progress).
    CLinkSocket* LinkInUse() const {
        return m_state == State::Connected || m_state == State::Serving ? m_pLink.get() : nullptr;
    }
    // The addresses of the link in use: ours and the far end's (Server Mode over UDP: the sender
    // of the last datagram). False when there is no link up (or no datagram came yet).
    bool LinkEnds(platform::SocketEnd* local, platform::SocketEnd* peer) const;
    CLinkSocket* PeerSocket() const { return m_state == State::Serving ? m_pLink.get() : nullptr; }
    CLinkSocket* ListenSocket() const { return m_listener.socket.get(); }
    CLinkSocket* ClientSocket() const {
        return m_state == State::Connecting || m_state == State::Connected ? m_pLink.get()
                                                                           : nullptr;
    }
    CRingBuffer& Ring() { return m_netRing; }

    // While the tap is armed, chunks of the link in use go to it instead of the history.
    void SetCaptureTap(IReceiveTap* tap) { m_pTap = tap; }
    // Every chunk received on or sent to the link in use, as it crossed the wire (Telnet
    // framing included), goes to this slot's observer; a file-send worker reports its own.
    platform::TrafficSlot& Traffic() { return m_traffic; }

    // How links made from now on are framed, and what is asked of an RFC 2217 device server when
    // one comes up (a client link once connected, Server Mode's peer once attached). The link in
    // use keeps the framing it started with.
    void SetRemotePortOptions(const RemotePortOptions& options) { m_remoteOptions = options; }
    const RemotePortOptions& RemoteOptions() const { return m_remoteOptions; }
    // The link in use speaks Telnet with the Com Port Control option.
    bool Rfc2217() const {
        return m_telnet.session != nullptr && m_telnet.session->link == LinkInUse();
    }
    // The option's state on the link in use (null when it is raw or there is none).
    const ComPortClient* ComPort() const { return Rfc2217() ? &m_telnet.session->client : nullptr; }
    // The gate every send on the link in use goes through (null when it is raw): a file-send
    // worker sends its data through it.
    std::shared_ptr<LinkSendGate> SendGate() const {
        return Rfc2217() ? m_telnet.session->gate : nullptr;
    }
    // Asks the device server to apply `settings`; remoteSettingsChecked tells the outcome.
    // Fails when the link in use does not speak RFC 2217.
    platform::Result ApplyRemoteSettings(const LineSettings& settings);
    // The device server's DTR and RTS, and a break of `ms` milliseconds on its serial line.
    platform::Result SetRemoteDtr(bool on);
    platform::Result SetRemoteRts(bool on);
    platform::Result SendRemoteBreak(int ms);
    // Why the console itself dropped its last link, as linkDropped told it; empty when the last
    // link ended otherwise. Set before the signals of the drop are told, kept until the next
    // link comes up (Connect, StartServer, a peer attaching).
    const std::string& DropReason() const { return m_dropReason; }
    // The client link is still the link in use, but its far end has closed it (farEndClosed was
    // told): nothing sent on it arrives any more. False again from the next Connect.
    bool FarEndClosed() const { return m_state == State::Connected && m_bFarEndClosed; }

signals:
    // The client link that Connect started is up.
    void connected();
    // The client link that Connect started could not be made: "Can't connect socket", with the
    // reason (refused, unreachable, timed out after CONNECT_TIMEOUT_MS, an invalid address) and
    // its errno. The console is idle again.
    void connectFailed(const platform::Result& failure);
    // Bytes were stored in the history (emitted on the UI thread, at once).
    void received();
    void peerAttached();
    void peerGone();
    // The link in use came up, or its far end changed (Server Mode over UDP: a datagram from a
    // new sender): LinkEnds() tells its addresses. Told before anything crosses the new link or
    // comes from the new sender, and before connected() or peerAttached(); for a UDP client
    // link from within Connect.
    void linkChanged();
    // The device closed the client link. The console stays "connected" until its owner calls
    // Stop(), as the Disconnect command does.
    void farEndClosed();
    // A failure the user must see that no command returned ("Connection Fail.").
    void failure(const QString& text, const QString& detail);
    // Accepting stopped for ACCEPT_PAUSE_MS because the process (EMFILE) or the system (ENFILE)
    // has no file descriptor left ("no file descriptors left (EMFILE)"); the waiting connection
    // was taken and closed. Told once per pause; accepting resumes by itself.
    void acceptPaused(const QString& reason);
    // A link object is about to be destroyed: whoever still uses it (a file-send worker) lets
    // go of it now.
    void linkGoing(CLinkSocket* link);
    // The option's state, an acknowledgement or a notification of the link in use changed.
    void comPortChanged();
    // The device server's modem lines or line state, as it notified them, with the steady-clock
    // time (nanoseconds) of the read that brought them.
    void remoteModemState(const platform::ModemState& state, qint64 steadyNs);
    void remoteLineState(const comport::LineState& state, qint64 steadyNs);
    // Every answer to the settings asked (when the link came up, or by ApplyRemoteSettings) is
    // in, or its time is over; also told when the server turns out not to speak the option.
    // Told again, with `revised` set, when an answer or the option's agreement comes after its
    // time (a late agreement first sends the settings and waits for their answers).
    void remoteSettingsChecked(const RemoteSettingsReport& report);
    // The console dropped an RFC 2217 link because the device server does not read while it
    // keeps asking for replies: Telnet commands and replies would have made more than
    // LinkSendGate::MAX_WAITING bytes wait. `text` is "the device server does not read: N bytes
    // waiting" (N the bytes that waited). Told right after the drop's ordinary signal:
    // farEndClosed for the client link (the console is idle by then) or peerGone for Server
    // Mode's peer (the server goes on listening). DropReason() holds the same text.
    void linkDropped(const QString& text);

private:
    void LinkAccept(CLinkSocket& listener) override;
    void LinkReceive(CLinkSocket& link, const unsigned char* bytes, int n,
                     const platform::Stamp& at) override;
    void LinkClose(CLinkSocket& link, int errorCode) override;
    void LinkConnect(CLinkSocket& link, int errorCode) override;
    void LinkDatagramError(CLinkSocket& link, int errorCode) override;
    platform::Result ConnectUdp(const std::string& address, unsigned port);
    platform::Result StartUdpServer(unsigned port);
    // A send on a UDP link failed: the text says what to check.
    platform::Result DatagramFailure(const CLinkSocket& link) const;
    // Ends the attempt in progress: the link goes, the console is idle, connectFailed is told.
    void FailConnect(platform::Result failure);
    // Destroys a link after telling linkGoing.
    void Drop(std::unique_ptr<CLinkSocket>& slot);
    // Accepts a waiting connection into `peer`; on EMFILE/ENFILE takes it off the queue with the
    // spare descriptor, closes it and pauses accepting. False when nothing was accepted; `shown`
    // is false when the failure was handled here and must not reach the user as a box.
    bool AcceptOrPause(CLinkSocket& listener, CLinkSocket& peer, bool& shown);

    // Server Mode's listening socket and what keeps it serving when descriptors run out.
    struct Listener {
        std::unique_ptr<CLinkSocket> socket;
        // Kept open on /dev/null while the server listens: closed to take a connection off the
        // queue when descriptors run out, then opened again.
        int spareFd = -1;
        // Accepting is off while it runs (ACCEPT_PAUSE_MS).
        QTimer pause;
        void OpenSpare();
        void CloseSpare();
    };
    // A connect in progress: its bound, and a failure connect() reported at once.
    struct Connector {
        // Bounds the attempt; fires at once (0 ms) to tell a failure kept in `failure`.
        QTimer timer;
        platform::Result failure;
    };

    State m_state = State::Idle;
    // The one link: the client socket (State::Connecting, State::Connected) or Server Mode's
    // peer (State::Serving); null otherwise. Over UDP also Server Mode's one socket while it
    // waits for its first datagram (State::Listening).
    std::unique_ptr<CLinkSocket> m_pLink;
    Listener m_listener;
    Connector m_connector;
    std::string m_strAddress;
    unsigned m_nPort = 0;
    CRingBuffer m_netRing;
    IReceiveTap* m_pTap = nullptr;

    // The Telnet side of one link: made when it comes up in RFC 2217 framing, gone with it.
    struct TelnetLink {
        CLinkSocket* link = nullptr;
        ComPortClient client;
        std::shared_ptr<LinkSendGate> gate;
        bool reportDue = false;   // settings were asked and their report is not told yet
        bool reported = false;    // a report was told on this link
        bool revisedDue = false;  // the report due corrects one told before
        bool notificationsAsked = false;
        bool breakOn = false;
        // Set once commands and replies could no longer wait: the link is dropped from the
        // event loop (not inside whatever was sending), and nothing more is sent or read.
        std::string dropText;
    };
    // The device-server side of the link in use: its Telnet session (null on a raw link) and
    // the timers that serve it, stopped when the session ends.
    struct DeviceServer {
        std::unique_ptr<TelnetLink> session;
        // Checks acknowledgement time-outs and sends what waits at the gate while it is up.
        QTimer tick;
        QTimer breakEnd;  // ends a break sent to the device server's line
        QTimer drop;      // drops a link that does not read, from the event loop
        void End();
    };
    void StartTelnet(CLinkSocket& link);
    // Sends protocol bytes (commands, replies) on the Telnet link, in order with its data. When
    // they would make too much wait at the gate, the link is dropped (from the event loop).
    void SendTelnet(const telnet::Bytes& bytes);
    void DropNotReading();
    // A datagram from the UDP link, its sender told first; false once the link is gone.
    bool TakeDatagram(CLinkSocket& link, const unsigned char* bytes, int n,
                      const platform::Stamp& at);
    // Hands received bytes to the tap or the history, Telnet removed when the link speaks it.
    void Deliver(CLinkSocket& link, const unsigned char* bytes, int n, const platform::Stamp& at);
    // Data bytes to the tap while it is armed for the link in use, else to the history.
    void Store(CLinkSocket& link, const unsigned char* bytes, int n, const platform::Stamp& at);
    platform::Result SendTelnetData(CLinkSocket& link, const unsigned char* bytes, int n);
    void AskNotifications();
    platform::Result NotTelnet() const;
    void OnTelnetTick();
    void MaybeReport();
    int64_t NowMs() const;
    RemotePortOptions m_remoteOptions;
    platform::TrafficSlot m_traffic;
    DeviceServer m_telnet;
    std::string m_dropReason;
    // Where queued datagrams are read after a notification's first (UDP links).
    std::vector<unsigned char> m_datagram;
    platform::SocketEnd m_toldPeer;  // Server Mode over UDP: the sender linkChanged told last
    bool m_bFarEndClosed = false;
    bool m_bUdp = false;  // m_pLink is a datagram socket
};
