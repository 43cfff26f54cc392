// The network console without its window: a TCP client link, or a listening socket serving one
// peer at a time, the receive history, and typed-line sends. Everything runs on the UI thread;
// results come back as values and signals, never as boxes.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <string>
#include <string_view>

#include "display/ReceiveTap.h"
#include "display/RingBuffer.h"
#include "net/LinkSocket.h"
#include "platform/Result.h"

constexpr int CONNECT_TIMEOUT_MS = 2000;
constexpr int LISTEN_BACKLOG = 5;
// Refused clients taken off the listen queue per accept notification while a peer is served.
constexpr int REFUSED_ACCEPTS_PER_NOTIFICATION = 64;
constexpr unsigned MAX_TCP_PORT = 65535;
// How long a server stops accepting after accept failed for want of file descriptors.
constexpr int ACCEPT_PAUSE_MS = 500;

class NetConsole : public QObject, private ILinkOwner {
    Q_OBJECT
public:
    explicit NetConsole(QObject* parent = nullptr);
    ~NetConsole() override;

    // Client mode: a fresh link to `address` (dotted IPv4) within the 2-second time-out. Fails
    // with "Invalid port number: use 0 to 65535", "Can't create socket" or "Can't connect
    // socket", leaving the console idle.
    platform::Result Connect(const std::string& address, unsigned port);
    // Server Mode: a fresh listening socket on `port` (backlog 5). Fails with "Invalid port
    // number: use 0 to 65535", "Can't create socket." or "Can't listen client.".
    platform::Result StartServer(unsigned port);
    // Disconnects the client link, or stops the server and drops its peer.
    void Stop();
    // Sends a typed line (trailing blanks cut, escapes decoded) on the link in use, without
    // waiting: what the socket does not take at once is not sent. Fails when there is no link
    // (idle, or a server without a peer: the line is then discarded), and with "The device does
    // not take the bytes: the line was not sent completely" (error EAGAIN, the counts in the
    // reason) when the peer does not read.
    platform::Result Send(std::string_view line);
    void Clear();

    bool IsConnected() const { return m_bNetConnected != 0; }
    bool ServerMode() const { return m_bServerMode; }
    int PeerCount() const { return m_nPeerCount; }
    const std::string& Address() const { return m_strAddress; }
    unsigned Port() const { return m_nPort; }
    // The link in use: the peer in Server Mode, else the client link (null when there is none).
    CLinkSocket* LinkInUse() const;
    CLinkSocket* PeerSocket() const { return m_pPeerSocket.get(); }
    CLinkSocket* ListenSocket() const { return m_pListenSocket.get(); }
    CLinkSocket* ClientSocket() const { return m_pClientSocket.get(); }
    CRingBuffer& Ring() { return m_netRing; }

    // While the tap is armed, chunks of the link in use go to it instead of the history.
    void SetCaptureTap(IReceiveTap* tap) { m_pTap = tap; }

signals:
    // Bytes were stored in the history (emitted on the UI thread, at once).
    void received();
    void peerAttached();
    void peerGone();
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

private:
    void LinkAccept(CLinkSocket& listener) override;
    void LinkReceive(CLinkSocket& link, const unsigned char* bytes, int n) override;
    void LinkClose(CLinkSocket& link, int errorCode) override;
    // Destroys a link after telling linkGoing.
    void Drop(std::unique_ptr<CLinkSocket>& slot);
    // Accepts a waiting connection into `peer`; on EMFILE/ENFILE takes it off the queue with the
    // spare descriptor, closes it and pauses accepting. False when nothing was accepted; `shown`
    // is false when the failure was handled here and must not reach the user as a box.
    bool AcceptOrPause(CLinkSocket& listener, CLinkSocket& peer, bool& shown);
    void OpenSpare();
    void CloseSpare();

    std::unique_ptr<CLinkSocket> m_pPeerSocket;
    std::unique_ptr<CLinkSocket> m_pListenSocket;
    std::unique_ptr<CLinkSocket> m_pClientSocket;
    int m_nPeerCount = 0;
    int32_t m_bNetConnected = 0;
    bool m_bServerMode = false;
    std::string m_strAddress;
    unsigned m_nPort = 0;
    CRingBuffer m_netRing;
    IReceiveTap* m_pTap = nullptr;
    // Kept open on /dev/null while the server listens: closed to take a connection off the
    // queue when descriptors run out, then opened again.
    int m_spareFd = -1;
    QTimer m_acceptPause;
};
