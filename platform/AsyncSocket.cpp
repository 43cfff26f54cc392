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
#include <chrono>
#include <cstring>

namespace platform {
namespace {

// How long a Send waiting for room sleeps before it looks at the abort flag again.
constexpr int SEND_POLL_MS = 50;

bool OnUiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool IsTransient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() {
    if (m_pDestroyedFlag)
        *m_pDestroyedFlag = true;
    Close();
}

bool CAsyncSocket::Create(unsigned port, int type, int eventMask, const char* address) {
    Close();
    if (type != SOCK_STREAM) {
        SetError("only stream sockets are supported");
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
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetError(errno);
        return false;
    }
    int one = 1;
    if (local.sin_port != 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        SetError(errno);
        ::close(fd);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        SetError(errno);
        ::close(fd);
        return false;
    }
    m_eventMask = eventMask;
    m_hSocket = fd;
    // Neither listening nor connected yet: no notifier (poll reports HUP on such a socket).
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
    m_bListening = true;
    UpdateNotifiers();
    return true;
}

bool CAsyncSocket::Accept(CAsyncSocket& peer) {
    int fd = m_hSocket;
    if (fd < 0 || !m_bListening) {
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
    m_bListening = false;
    m_bConnected = true;
    m_bCloseDelivered = false;
    UpdateNotifiers();
}

void CAsyncSocket::Close() {
    DestroyNotifiers();
    int fd = m_hSocket.exchange(INVALID_SOCKET);
    if (fd >= 0)
        ::close(fd);
    m_bListening = false;
    m_bConnected = false;
    m_bCloseDelivered = false;
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
    do {
        n = ::recv(fd, buf, static_cast<size_t>(len), flags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        int err = errno;
        SetError(err);
        errno = err;
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

int CAsyncSocket::Send(const void* buf, int len, int flags) {
    const int fd = HandleForTransfer(buf, len);
    if (fd < 0)
        return SOCKET_ERROR;
    // Always non-blocking at the call, whatever the socket's mode: a blocking send() could not
    // be interrupted by AbortSend. The wait for room is a short poll that re-checks the flag.
    const auto* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
        if (m_bAbortSend) {
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
                pollfd pfd{fd, POLLOUT, 0};
                ::poll(&pfd, 1, SEND_POLL_MS);  // an error shows in the next send()
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

void CAsyncSocket::AbortSend(bool abort) {
    m_bAbortSend = abort;
}

bool CAsyncSocket::AsyncSelect(int eventMask) {
    m_eventMask = eventMask;
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

bool CAsyncSocket::ConnectStart(const std::string& address, unsigned port) {
    const int fd = HandleOrError();
    if (fd < 0)
        return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    // Strict dotted-quad text: inet_addr would read "010" as octal and accept "10.1" as well.
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        SetError("invalid IPv4 address '" + address + "'");
        return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return true;
    // EINTR: the connection goes on in the background, as with EINPROGRESS.
    if (errno == EINPROGRESS || errno == EINTR)
        return true;
    SetError(errno);
    return false;
}

bool CAsyncSocket::WaitConnected(int timeoutMs) {
    const int fd = HandleOrError();
    if (fd < 0)
        return false;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    pollfd pfd{fd, POLLOUT, 0};
    int ready;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        ready = ::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready >= 0 || errno != EINTR)
            break;
    }
    if (ready <= 0) {
        SetError(ready == 0 ? ETIMEDOUT : errno);
        return false;
    }
    int soError = 0;
    socklen_t size = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0)
        soError = errno;
    if (soError != 0) {
        SetError(soError);
        return false;
    }
    // A socket on which connect was never started is writable too (with HUP): only a peer
    // address proves the connection.
    sockaddr_in peer{};
    socklen_t peerSize = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
        SetError(errno);
        return false;
    }
    m_bConnected = true;
    m_bCloseDelivered = false;
    UpdateNotifiers();
    return true;
}

std::string CAsyncSocket::LastError() const {
    std::lock_guard lock(m_errorLock);
    return m_lastError;
}

int CAsyncSocket::LastErrno() const {
    std::lock_guard lock(m_errorLock);
    return m_lastErrno;
}

void CAsyncSocket::SetError(int errnum) {
    SetError(std::string(std::strerror(errnum)), errnum);
}

void CAsyncSocket::SetError(const std::string& text, int errnum) {
    std::lock_guard lock(m_errorLock);
    m_lastError = text;
    m_lastErrno = errnum;
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}

// The close is seen only by reading (a peek that returns 0), so a connected socket is watched
// only while it is registered for reading; FD_CLOSE alone would leave a readable socket firing.
bool CAsyncSocket::WantsReadNotifier() const {
    if (m_hSocket < 0 || m_bInHandler)
        return false;
    if (m_bListening)
        return (m_eventMask & FD_ACCEPT) != 0;
    return m_bConnected && !m_bCloseDelivered && (m_eventMask & FD_READ) != 0;
}

void CAsyncSocket::UpdateNotifiers() {
    const bool want = WantsReadNotifier();
    if (!want) {
        if (m_pReadNotifier)
            m_pReadNotifier->setEnabled(false);
        return;
    }
    if (!OnUiThread()) {
        qWarning("CAsyncSocket: notifications can only be switched on the UI thread");
        return;
    }
    if (!m_pReadNotifier) {
        m_pReadNotifier = new QSocketNotifier(m_hSocket, QSocketNotifier::Read);
        QObject::connect(m_pReadNotifier, &QSocketNotifier::activated, m_pReadNotifier,
                         [this] { OnReadable(); });
    }
    m_pReadNotifier->setEnabled(true);
}

// A notifier may be the one whose activated signal is running right now (a handler that closes
// or deletes its socket): it is switched off and cut loose here, and deleted by its event loop.
void CAsyncSocket::DestroyNotifiers() {
    if (!m_pReadNotifier)
        return;
    m_pReadNotifier->setEnabled(false);
    QObject::disconnect(m_pReadNotifier, nullptr, nullptr, nullptr);
    m_pReadNotifier->deleteLater();
    m_pReadNotifier = nullptr;
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
    if (m_bListening) {
        Dispatch(&CAsyncSocket::OnAccept, 0);
        return;
    }
    if (!m_bConnected || m_bCloseDelivered) {
        UpdateNotifiers();
        return;
    }
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        Dispatch(&CAsyncSocket::OnReceive, 0);
        return;
    }
    if (n < 0 && IsTransient(errno))
        return;
    // Orderly close (0) or a hard error such as ECONNRESET: delivered once, then silence.
    const int errorCode = n == 0 ? 0 : errno;
    m_bCloseDelivered = true;
    UpdateNotifiers();
    if (m_eventMask & FD_CLOSE)
        Dispatch(&CAsyncSocket::OnClose, errorCode);
}

}  // namespace platform
