#include "platform/AsyncSocket.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// Only when the abort signal has no descriptor (the process ran out of them): how long a Send
// waiting for room waits before it looks at the raised flag again.
constexpr int SEND_FALLBACK_POLL_MS = 50;

bool IsTransient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

CAsyncSocket::CAsyncSocket(ReadNotice notice)
    : m_pOwnerThread(QThread::currentThread()), m_readNotice(notice) {}

CAsyncSocket::~CAsyncSocket() {
    if (m_pDestroyedFlag)
        *m_pDestroyedFlag = true;
    Close();
}

bool CAsyncSocket::Create(unsigned port, int type, const char* address) {
    Close();
    if (type != SOCK_STREAM && type != SOCK_DGRAM) {
        SetError("only stream and datagram sockets are supported");
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));  // the 16-bit field: port modulo 65536
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &local.sin_addr) != 1) {
        SetError(EINVAL);
        return false;
    }
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetError(errno);
        return false;
    }
    int one = 1;
    if (type == SOCK_STREAM && local.sin_port != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        SetError(errno);
        ::close(fd);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        SetError(errno);
        ::close(fd);
        return false;
    }
    m_bNotify = true;
    m_hSocket = fd;
    if (type == SOCK_DGRAM) {
        m_role = Role::Datagram;
        UpdateNotifiers();
    }
    // A stream socket is neither listening nor connected yet: no notifier (poll reports HUP on
    // such a socket).
    return true;
}

bool CAsyncSocket::SetDatagramPeer(const std::string& address, unsigned port) {
    const int fd = HandleOrError();
    if (fd < 0)
        return false;
    if (m_role != Role::Datagram) {
        SetError(EINVAL);
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        SetError("invalid IPv4 address '" + address + "'");
        return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        SetError(errno);
        return false;
    }
    m_bHasPeer = true;
    return true;
}

bool CAsyncSocket::LastSender(std::string* address, unsigned* port) const {
    if (!m_bHasSender)
        return false;
    char text[INET_ADDRSTRLEN] = {};
    in_addr ip{};
    ip.s_addr = m_sender.ip;
    inet_ntop(AF_INET, &ip, text, sizeof text);
    if (address)
        *address = text;
    if (port)
        *port = ntohs(m_sender.port);
    return true;
}

unsigned CAsyncSocket::LocalPort() const {
    const int fd = m_hSocket;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return 0;
    return ntohs(local.sin_port);
}

bool CAsyncSocket::LocalEnd(SocketEnd* end) const {
    const int fd = m_hSocket;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        local.sin_family != AF_INET)
        return false;
    end->address = ntohl(local.sin_addr.s_addr);
    end->port = ntohs(local.sin_port);
    if (end->address != INADDR_ANY || m_role != Role::Datagram || m_bHasPeer || !m_bHasSender)
        return true;
    // Bound to any address: the route to the last sender names the address replies leave from
    // (a datagram socket's connect() sends nothing).
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return true;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = m_sender.ip;
    to.sin_port = m_sender.port;
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    if (::connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&from), &fromSize) == 0)
        end->address = ntohl(from.sin_addr.s_addr);
    ::close(probe);
    return true;
}

bool CAsyncSocket::PeerEnd(SocketEnd* end) const {
    const int fd = m_hSocket;
    if (fd < 0)
        return false;
    if (m_role == Role::Datagram && !m_bHasPeer) {
        if (!m_bHasSender)
            return false;
        end->address = ntohl(m_sender.ip);
        end->port = ntohs(m_sender.port);
        return true;
    }
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        peer.sin_family != AF_INET)
        return false;
    end->address = ntohl(peer.sin_addr.s_addr);
    end->port = ntohs(peer.sin_port);
    return true;
}

// The descriptor, or -1 with EBADF as the last error when the socket is closed.
int CAsyncSocket::HandleOrError() {
    const int fd = m_hSocket;
    if (fd < 0)
        SetError(EBADF);
    return fd;
}

bool CAsyncSocket::Listen(int backlog) {
    const int fd = HandleOrError();
    if (fd < 0)
        return false;
    if (::listen(fd, backlog) != 0) {
        SetError(errno);
        return false;
    }
    m_role = Role::Listening;
    UpdateNotifiers();
    return true;
}

bool CAsyncSocket::Accept(CAsyncSocket& peer) {
    int fd = m_hSocket;
    if (fd < 0 || m_role != Role::Listening) {
        SetError(fd < 0 ? EBADF : EINVAL);
        return false;
    }
    if (peer.m_hSocket >= 0) {
        SetError(EISCONN);
        return false;
    }
    int peerFd;
    do {
        peerFd = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (peerFd < 0 && errno == EINTR);
    if (peerFd < 0) {
        SetError(errno);
        return false;
    }
    peer.Attach(peerFd);
    return true;
}

void CAsyncSocket::Attach(int fd) {
    m_hSocket = fd;
    m_role = Role::Connected;
    m_bCloseDelivered = false;
    m_nCloseSeen = NO_CLOSE_SEEN;
    UpdateNotifiers();
}

void CAsyncSocket::Close() {
    DestroyNotifiers();
    int fd = m_hSocket.exchange(INVALID_SOCKET);
    if (fd >= 0)
        ::close(fd);
    m_role = Role::None;
    m_bCloseDelivered = false;
    m_nCloseSeen = NO_CLOSE_SEEN;
    m_bHasSender = false;
    m_bHasPeer = false;
}

// The descriptor for a receive or send of `len` bytes at `buf`; SOCKET_ERROR (with the reason
// set) without a socket or with a bad buffer.
int CAsyncSocket::HandleForTransfer(const void* buf, int len) {
    const int fd = HandleOrError();
    if (fd < 0)
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0)) {
        SetError(EINVAL);
        return SOCKET_ERROR;
    }
    return fd;
}

int CAsyncSocket::Receive(void* buf, int len, int flags) {
    const int fd = HandleForTransfer(buf, len);
    if (fd < 0)
        return SOCKET_ERROR;
    ssize_t n;
    if (m_role == Role::Datagram) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        do {
            fromSize = sizeof from;
            n = ::recvfrom(fd, buf, static_cast<size_t>(len), flags,
                           reinterpret_cast<sockaddr*>(&from), &fromSize);
        } while (n < 0 && errno == EINTR);
        ++m_nReads;
        if (n < 0) {
            const int err = errno;
            SetError(err);
            errno = err;
            return SOCKET_ERROR;
        }
        if (fromSize >= sizeof from && from.sin_family == AF_INET) {
            m_sender.ip = from.sin_addr.s_addr;
            m_sender.port = from.sin_port;
            m_bHasSender = true;
        }
        return static_cast<int>(n);
    }
    do {
        n = ::recv(fd, buf, static_cast<size_t>(len), flags);
    } while (n < 0 && errno == EINTR);
    ++m_nReads;
    if (n < 0) {
        int err = errno;
        SetError(err);
        if (!IsTransient(err) && m_role == Role::Connected) {
            m_nCloseSeen = err;  // a reset: the next read would say 0, the reason is now
        }
        errno = err;
        return SOCKET_ERROR;
    }
    if (n == 0 && len > 0 && m_role == Role::Connected && m_nCloseSeen == NO_CLOSE_SEEN)
        m_nCloseSeen = 0;
    return static_cast<int>(n);
}

int CAsyncSocket::Send(const void* buf, int len, int flags) {
    const int fd = HandleForTransfer(buf, len);
    if (fd < 0)
        return SOCKET_ERROR;
    // Always non-blocking at the call, whatever the socket's mode: a blocking send() could not
    // be interrupted by AbortSend. The wait for room polls the socket and the abort signal
    // together, so an abort ends it at once.
    const auto* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
        if (m_abortSend.IsRaised()) {
            SetError(ECANCELED);
            return SOCKET_ERROR;
        }
        ssize_t n = ::send(fd, p + done, static_cast<size_t>(len - done),
                           flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && IsTransient(errno)) {
            if (errno != EINTR) {
                const int abortFd = m_abortSend.Fd();
                pollfd fds[2] = {{fd, POLLOUT, 0}, {abortFd, POLLIN, 0}};
                // An error or hang-up of the socket shows in the next send().
                ::poll(fds, abortFd >= 0 ? 2 : 1, abortFd >= 0 ? -1 : SEND_FALLBACK_POLL_MS);
            }
            continue;
        }
        SetError(n < 0 ? errno : EIO);
        return SOCKET_ERROR;
    }
    return len;
}

int CAsyncSocket::SendAvailable(const void* buf, int len) {
    const int fd = HandleForTransfer(buf, len);
    if (fd < 0)
        return SOCKET_ERROR;
    if (m_role == Role::Datagram)
        return SendDatagram(fd, buf, len);
    const auto* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
        const ssize_t n =
            ::send(fd, p + done, static_cast<size_t>(len - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;  // the buffer is full now: what was taken is the answer
        SetError(n < 0 ? errno : EIO);
        return done > 0 ? done : SOCKET_ERROR;
    }
    return done;
}

int CAsyncSocket::SendDatagram(int fd, const void* buf, int len) {
    sockaddr_in to{};
    if (!m_bHasPeer) {
        if (!m_bHasSender) {
            SetError(EDESTADDRREQ);
            return SOCKET_ERROR;
        }
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = m_sender.ip;
        to.sin_port = m_sender.port;
    }
    ssize_t n;
    do {
        n = m_bHasPeer ? ::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT)
                       : ::sendto(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;  // no room for the datagram now: nothing of it went
    if (n < 0) {
        SetError(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

void CAsyncSocket::AbortSend(bool abort) {
    if (abort)
        m_abortSend.Raise();
    else
        m_abortSend.Reset();
}

bool CAsyncSocket::AsyncSelect(bool on) {
    m_bNotify = on;
    UpdateNotifiers();
    if (m_hSocket < 0) {
        SetError(EBADF);
        return false;
    }
    return true;
}

bool CAsyncSocket::SetNonBlocking(bool on) {
    int fd = m_hSocket;
    int value = on ? 1 : 0;
    if (fd < 0 || ::ioctl(fd, FIONBIO, &value) != 0) {
        SetError(fd < 0 ? EBADF : errno);
        return false;
    }
    return true;
}

bool CAsyncSocket::Connect(const std::string& address, unsigned port) {
    const int fd = HandleOrError();
    if (fd < 0)
        return false;
    if (m_role != Role::None) {
        SetError(m_role == Role::Connecting ? EALREADY : EISCONN);
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    // Strict dotted-quad text: inet_addr would read "010" as octal and accept "10.1" as well.
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        SetError("invalid IPv4 address '" + address + "'");
        return false;
    }
    // The socket is non-blocking (Create), so connect() returns at once: EINPROGRESS while the
    // handshake runs; EINTR leaves it going on in the background as well. Even a connection
    // made at once is reported through the write notifier, so the outcome always comes the same
    // way, after Connect has returned.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        SetError(errno);
        return false;
    }
    m_role = Role::Connecting;
    UpdateNotifiers();
    return true;
}

// The socket became writable: the handshake is over. SO_ERROR tells a refused or failed
// connection from a made one (Linux makes a socket writable in both cases); a peer address is the
// final proof.
void CAsyncSocket::OnWritable() {
    const int fd = m_hSocket;
    if (fd < 0 || m_role != Role::Connecting)
        return;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    if (error == 0) {
        sockaddr_in peer{};
        socklen_t peerSize = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
            error = errno;
    }
    m_role = error == 0 ? Role::Connected : Role::None;
    if (error == 0) {
        m_bCloseDelivered = false;
    } else {
        SetError(error);
    }
    // The write notifier goes off (it is wanted only while connecting) and, once connected, the
    // read notifier starts, before the handler runs.
    UpdateNotifiers();
    Dispatch(&CAsyncSocket::OnConnect, error);
}

std::string CAsyncSocket::LastError() const {
    std::lock_guard lock(m_lastError.lock);
    return m_lastError.text;
}

int CAsyncSocket::LastErrno() const {
    std::lock_guard lock(m_lastError.lock);
    return m_lastError.errnum;
}

void CAsyncSocket::SetError(int errnum) {
    SetError(std::string(std::strerror(errnum)), errnum);
}

void CAsyncSocket::SetError(const std::string& text, int errnum) {
    std::lock_guard lock(m_lastError.lock);
    m_lastError.text = text;
    m_lastError.errnum = errnum;
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}

// The close is seen only by reading (a read or a peek that returns 0), so a connected socket is
// watched for reading until its close has been delivered.
bool CAsyncSocket::WantsReadNotifier() const {
    if (m_hSocket < 0 || m_bInHandler || !m_bNotify)
        return false;
    return m_role == Role::Listening || m_role == Role::Datagram ||
           (m_role == Role::Connected && !m_bCloseDelivered);
}

bool CAsyncSocket::WantsWriteNotifier() const {
    return m_hSocket >= 0 && !m_bInHandler && m_bNotify && m_role == Role::Connecting;
}

// Switches one notifier to `want`, making it on first need. Notifiers belong to the thread that
// made the socket (the window's, or a runner station's), whose event loop delivers them.
void CAsyncSocket::SwitchNotifier(QSocketNotifier*& notifier, bool want, bool write) {
    if (!want) {
        if (notifier)
            notifier->setEnabled(false);
        return;
    }
    if (QThread::currentThread() != m_pOwnerThread) {
        qWarning("CAsyncSocket: notifications can only be switched on the socket's own thread");
        return;
    }
    if (!notifier) {
        notifier =
            new QSocketNotifier(m_hSocket, write ? QSocketNotifier::Write : QSocketNotifier::Read);
        if (write)
            QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                             [this] { OnWritable(); });
        else
            QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                             [this] { OnReadable(); });
    }
    notifier->setEnabled(true);
}

void CAsyncSocket::UpdateNotifiers() {
    SwitchNotifier(m_pReadNotifier, WantsReadNotifier(), false);
    SwitchNotifier(m_pWriteNotifier, WantsWriteNotifier(), true);
}

// A notifier may be the one whose activated signal is running right now (a handler that closes
// or deletes its socket): it is switched off and cut loose here, and deleted by its event loop.
void CAsyncSocket::DestroyNotifiers() {
    for (QSocketNotifier** notifier : {&m_pReadNotifier, &m_pWriteNotifier}) {
        if (!*notifier)
            continue;
        (*notifier)->setEnabled(false);
        QObject::disconnect(*notifier, nullptr, nullptr, nullptr);
        (*notifier)->deleteLater();
        *notifier = nullptr;
    }
}

// The notifier stays off while the handler runs. A handler may run a nested event loop (a
// message box); without this the same socket would be notified again inside it, for example
// with OnClose deleting the object under the OnReceive that is still running. Nothing is lost:
// the notifier is level-triggered and fires again once the handler has returned.
bool CAsyncSocket::Dispatch(void (CAsyncSocket::*handler)(int), int errorCode) {
    bool destroyed = false;
    bool* outer = m_pDestroyedFlag;
    m_pDestroyedFlag = &destroyed;
    const bool wasInHandler = m_bInHandler;
    m_bInHandler = true;
    UpdateNotifiers();
    (this->*handler)(errorCode);
    if (destroyed) {
        if (outer)
            *outer = true;
        return false;  // `this` is gone
    }
    m_pDestroyedFlag = outer;
    m_bInHandler = wasInHandler;
    UpdateNotifiers();
    return true;
}

void CAsyncSocket::OnReadable() {
    const int fd = m_hSocket;
    if (fd < 0)
        return;
    if (m_role == Role::Listening) {
        Dispatch(&CAsyncSocket::OnAccept, 0);
        return;
    }
    if (m_role == Role::Datagram) {
        // A datagram or a pending error (an ICMP answer to an earlier send): the handler reads
        // either. No close to look for.
        Dispatch(&CAsyncSocket::OnReceive, 0);
        return;
    }
    if (m_role != Role::Connected || m_bCloseDelivered) {
        UpdateNotifiers();
        return;
    }
    if (m_nCloseSeen != NO_CLOSE_SEEN) {  // met by a read outside a notification
        DeliverClose(m_nCloseSeen);
        return;
    }
    const bool handlerReads = m_readNotice == ReadNotice::HandlerReads;
    if (handlerReads) {
        const unsigned readsBefore = m_nReads;
        if (!Dispatch(&CAsyncSocket::OnReceive, 0))
            return;
        // The handler may have closed the socket or switched notifications off: the close its
        // read met then waits for the notifications to come back.
        if (m_hSocket != fd || m_role != Role::Connected || m_bCloseDelivered)
            return;
        if (m_nCloseSeen != NO_CLOSE_SEEN) {
            DeliverClose(m_nCloseSeen);
            return;
        }
        if (m_nReads != readsBefore)
            return;
        // The handler read nothing: the peek below tells whether the far end has closed.
    }
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        if (!handlerReads)
            Dispatch(&CAsyncSocket::OnReceive, 0);
        return;
    }
    if (n < 0 && IsTransient(errno))
        return;
    // Orderly close (0) or a hard error such as ECONNRESET: delivered once, then silence.
    DeliverClose(n == 0 ? 0 : errno);
}

void CAsyncSocket::DeliverClose(int errorCode) {
    m_nCloseSeen = errorCode;
    if (!m_bNotify)
        return;  // delivered once notifications are back (the closed socket stays readable)
    m_nCloseSeen = NO_CLOSE_SEEN;
    m_bCloseDelivered = true;
    UpdateNotifiers();
    Dispatch(&CAsyncSocket::OnClose, errorCode);
}

}  // namespace platform
