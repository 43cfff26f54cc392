// The framework's asynchronous socket over BSD sockets, with notifications on the UI thread.
//
// Notifications (OnAccept, OnReceive, OnClose) are delivered through QSocketNotifiers created and
// switched only on the UI thread. The far end's close is seen by peeking at a readable socket and
// is delivered once; after it no notifier fires on the socket again. A socket made with
// ReadNotice::HandlerReads does without the peek: its OnReceive reads at every notification, and
// the close that one of its reads meets (0, or a hard error) is delivered right after it returns.
// A notification handler may destroy its own object: the dispatch never touches the object after
// the handler returns. While a handler runs (also through a nested event loop, such as a message
// box), the same object is not notified again; what arrived meanwhile is notified after the
// handler has returned.
//
// A connect is asynchronous: Connect() starts it and returns, and its outcome arrives once as
// OnConnect (0, or the errno of the refusal or failure). Only a connecting socket has a write
// notifier; a connected socket is writable almost all the time, so one would fire without pause,
// and Send itself waits for room. There is no time-out here: whoever connects bounds the attempt
// and closes the socket when it is over.
#pragma once

class QThread;

#include <QObject>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/AbortSignal.h"

class QSocketNotifier;

namespace platform {

constexpr int SOCKET_ERROR = -1;
constexpr int INVALID_SOCKET = -1;

// One end of a link: an IPv4 address and a port, both in host order.
struct SocketEnd {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const SocketEnd&) const = default;
};

class CAsyncSocket {
public:
    // How a readable connected socket tells data from the far end's close.
    enum class ReadNotice {
        // A one-byte peek decides: OnReceive only when bytes wait, OnClose when the peek meets the
        // close. Costs a receive call per notification.
        Peek,
        // OnReceive at every notification; the handler reads (through Receive) and stops after a
        // read shorter than its buffer: the notifier is level-triggered and fires again for what
        // is left. A read that meets the close records it, and OnClose follows once the handler
        // has returned. A handler that reads nothing is followed by the peek, so a close is
        // never missed.
        HandlerReads,
    };

    explicit CAsyncSocket(ReadNotice notice = ReadNotice::Peek);
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Creates an IPv4 stream (SOCK_STREAM) or datagram (SOCK_DGRAM) socket with notifications on
    // and binds it to `address` (empty = any) and `port` (0 = the system chooses; taken modulo
    // 65536). On failure the socket is closed again and false is returned (LastError() says why).
    // A stream socket with a non-zero port gets SO_REUSEADDR, so that a stopped server binds
    // again at once; Linux still refuses the bind while another socket listens on that port. A
    // datagram socket never gets it: two sockets would then share the port's datagrams.
    // A stream socket's notifications start only once it listens or is connected; a datagram
    // socket is notified of every datagram (OnReceive) from the start.
    bool Create(unsigned port = 0, int type = 1 /*SOCK_STREAM*/, const char* address = nullptr);
    bool IsDatagram() const { return m_role == Role::Datagram; }
    // Datagram sockets: from now on datagrams go to dotted IPv4 `address` and `port`, and only
    // that peer's are received (connect() on a datagram socket: no handshake, done at once).
    // False on an invalid address or when the socket is not a datagram socket.
    bool SetDatagramPeer(const std::string& address, unsigned port);
    // Datagram sockets without a fixed peer: the sender of the last datagram received, where a
    // send goes. False while no datagram has come yet.
    bool LastSender(std::string* address, unsigned* port) const;
    // The port the socket is bound to (0 without a socket).
    unsigned LocalPort() const;
    // Our end of the link: the address and port the socket is bound to. A datagram socket bound
    // to any address that answers its last sender gives the address the system sends from to
    // that sender. False without a socket.
    bool LocalEnd(SocketEnd* end) const;
    // The far end: a connected socket's peer, a datagram socket's fixed peer, else the sender of
    // its last datagram. False when there is none.
    bool PeerEnd(SocketEnd* end) const;
    // listen(); from then on a waiting connection is notified as OnAccept. The handler must
    // Accept it (or close the listener): the notifier is level-triggered.
    bool Listen(int backlog = 5);
    // Accepts a waiting connection into `peer` (which must not hold a socket). The peer is
    // connected and non-blocking, with notifications on.
    bool Accept(CAsyncSocket& peer);
    // Closes the descriptor and drops the notifiers; the object can be created again.
    void Close();

    // Bytes read, 0 when the far end has closed, -1 on an error (or nothing to read in
    // non-blocking mode). On a datagram socket: one datagram (cut to `len`), 0 for an empty one,
    // never a close; its sender becomes LastSender(). The socket's own thread only: a read that
    // meets the close (0, or an error other than "nothing now") is recorded, and the close is
    // notified from it.
    virtual int Receive(void* buf, int len, int flags = 0);
    // Writes every byte (waiting as needed, in either mode) or fails: the count, or -1. Never
    // raises SIGPIPE. May run on a worker thread. AbortSend() makes a waiting Send give up at
    // once (ECANCELED): the wait polls the socket and the abort signal together.
    virtual int Send(const void* buf, int len, int flags = 0);
    // Sends what the socket takes now, without waiting (any mode): the count taken, from 0 (the
    // send buffer is full: the peer does not read) to len, or -1 on an error. Never raises
    // SIGPIPE. On a datagram socket the bytes are one datagram, sent whole or not at all, to the
    // fixed peer or else to LastSender() (EDESTADDRREQ before any datagram came).
    int SendAvailable(const void* buf, int len);
    // Any thread. true: a Send in progress gives up at once and every later Send fails at once
    // (ECANCELED); false: Send works again.
    void AbortSend(bool abort = true);

    // Notifications on (as the socket's state calls for: accept, receive and close, or the
    // connect's outcome) or off altogether; what happens while they are off is notified once
    // they are back. UI thread only. False when there is no socket (the choice is kept all the
    // same).
    bool AsyncSelect(bool on);
    // FIONBIO: true = non-blocking.
    bool SetNonBlocking(bool on);
    // Starts a connection of a created socket to dotted IPv4 text and a port (modulo 65536),
    // without waiting: true when it is under way, and its outcome is then delivered once as
    // OnConnect on the UI thread. False when it could not start (invalid address text, no
    // socket, or a failure connect() reports at once); then no OnConnect follows. UI thread.
    bool Connect(const std::string& address, unsigned port);
    // A connect is under way: started, its outcome not yet delivered.
    bool IsConnecting() const { return m_role == Role::Connecting; }

    int GetSocketHandle() const { return m_hSocket.load(); }
    bool IsListening() const { return m_role == Role::Listening; }
    // strerror of the last failure (a copy: Send may set it from a worker thread).
    std::string LastError() const;
    // The errno behind LastError(), 0 when the failure had none.
    int LastErrno() const;

    virtual void OnReceive(int errorCode);
    virtual void OnAccept(int errorCode);
    // The outcome of Connect(): 0 when connected (notifications for reading start), else the
    // errno of the failure (ECONNREFUSED, ENETUNREACH, ...), the socket unconnected.
    virtual void OnConnect(int errorCode);
    virtual void OnClose(int errorCode);

private:
    // The thread that made the socket: its notifications are switched and delivered there.
    QThread* const m_pOwnerThread;
    void Attach(int fd);
    bool WantsReadNotifier() const;
    bool WantsWriteNotifier() const;
    void SwitchNotifier(QSocketNotifier*& notifier, bool want, bool write);
    void UpdateNotifiers();
    void DestroyNotifiers();
    void OnReadable();
    // Delivers the far end's close (once): the read notifier goes off for good.
    void DeliverClose(int errorCode);
    void OnWritable();
    // Calls a notification handler; false when the handler destroyed this object.
    bool Dispatch(void (CAsyncSocket::*handler)(int), int errorCode);
    int HandleOrError();
    int HandleForTransfer(const void* buf, int len);
    // One datagram now, to the fixed peer or the last sender: len, 0 (no room) or -1.
    int SendDatagram(int fd, const void* buf, int len);
    void SetError(int errnum);
    void SetError(const std::string& text, int errnum = 0);

    // Read by Send on a worker thread; changed only on the UI thread while no Send runs.
    std::atomic<int> m_hSocket{INVALID_SOCKET};
    const ReadNotice m_readNotice;
    bool m_bNotify = true;  // AsyncSelect: notifications wanted
    // What the socket is for: nothing yet, listening, connecting (the write notifier waits for
    // the outcome) or connected (only then do notifications for reading make sense).
    // Datagram: a datagram socket, readable from its creation; it never closes from the far end.
    enum class Role { None, Listening, Connecting, Connected, Datagram };
    Role m_role = Role::None;
    bool m_bCloseDelivered = false;
    // Datagram sockets: where an unconnected send goes (the last sender), once known.
    bool m_bHasSender = false;
    bool m_bHasPeer = false;
    struct SenderAddress {
        uint32_t ip = 0;  // network order
        uint16_t port = 0;
    } m_sender;
    bool m_bInHandler = false;  // a notification handler of this object is running
    // The far end's close that a Receive met and that is not delivered yet: its error (0, or
    // the errno of a reset), NO_CLOSE_SEEN when none. m_nReads counts Receive calls, so that a
    // handler that read nothing is told apart.
    static constexpr int NO_CLOSE_SEEN = -1;
    int m_nCloseSeen = NO_CLOSE_SEEN;
    unsigned m_nReads = 0;
    AbortSignal m_abortSend;
    QSocketNotifier* m_pReadNotifier = nullptr;
    QSocketNotifier* m_pWriteNotifier = nullptr;  // only while connecting
    // Set by the destructor so that a dispatch in progress knows its object is gone.
    bool* m_pDestroyedFlag = nullptr;
    // The last failure: its text and errno (0 when it had none). Send may set it on a worker
    // thread.
    struct LastFailure {
        mutable std::mutex lock;
        std::string text;
        int errnum = 0;
    } m_lastError;
};

}  // namespace platform
