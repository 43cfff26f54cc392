#include "net/NetConsole.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <vector>

#include "serial/EncodeSendLine.h"

using platform::Result;

namespace {

constexpr int SEND_BUFFER_SIZE = 1024;
// Reads a capture may take from one receive notification beyond the first.
constexpr int CAPTURE_BATCH_READS = 64;

// Trailing space, tab, line feed, vertical tab, form feed and carriage return.
std::string_view TrimRight(std::string_view s) {
    const auto end = s.find_last_not_of(" \t\n\v\f\r");
    return s.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

// A port the 16-bit field cannot hold would put the link on another port than the one the
// status line shows: refused before anything changes.
Result CheckPort(unsigned port) {
    if (port <= MAX_TCP_PORT)
        return Result::Ok();
    return Result::Fail("Invalid port number: use 0 to 65535",
                        std::to_string(port) + " is not a TCP port.", 0);
}

Result SocketFailure(const char* text, const CLinkSocket& socket) {
    return Result::Fail(text, socket.LastError(), socket.LastErrno());
}

}  // namespace

NetConsole::NetConsole(QObject* parent) : QObject(parent) {
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        if (m_state != State::Connecting)
            return;
        if (m_connectFailure.ok) {  // no failure kept: the time-out
            m_connectFailure =
                Result::Fail("Can't connect socket", std::strerror(ETIMEDOUT), ETIMEDOUT);
        }
        FailConnect(std::move(m_connectFailure));
    });
    m_acceptPause.setSingleShot(true);
    m_acceptPause.setInterval(ACCEPT_PAUSE_MS);
    connect(&m_acceptPause, &QTimer::timeout, this, [this] {
        if (m_pListenSocket)
            m_pListenSocket->AsyncSelect(platform::FD_ALL_EVENTS);
    });
}

NetConsole::~NetConsole() {
    Stop();
}

void NetConsole::OpenSpare() {
    if (m_spareFd < 0)
        m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void NetConsole::CloseSpare() {
    if (m_spareFd >= 0)
        ::close(m_spareFd);
    m_spareFd = -1;
}

Result NetConsole::Connect(const std::string& address, unsigned port) {
    if (Result r = CheckPort(port); !r)
        return r;
    Stop();
    m_netRing.Clear();
    m_bServerMode = false;
    auto link = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
    if (!link->Create(0, 1, platform::FD_ALL_EVENTS, nullptr))
        return SocketFailure("Can't create socket", *link);
    m_strAddress = address;
    m_nPort = port;
    m_state = State::Connecting;
    m_connectFailure = Result::Ok();
    const bool started = link->Connect(address, port);
    m_pClientSocket = std::move(link);
    if (started) {
        m_connectTimer.start(CONNECT_TIMEOUT_MS);
    } else {
        // Known at once (an invalid address, an unreachable network), but told like every other
        // outcome: after Connect has returned, through connectFailed.
        m_connectFailure = SocketFailure("Can't connect socket", *m_pClientSocket);
        m_connectTimer.start(0);
    }
    return Result::Ok();
}

void NetConsole::LinkConnect(CLinkSocket& link, int errorCode) {
    if (&link != m_pClientSocket.get() || m_state != State::Connecting)
        return;
    if (errorCode != 0) {
        FailConnect(SocketFailure("Can't connect socket", link));
        return;
    }
    m_connectTimer.stop();
    m_state = State::Connected;
    m_bNetConnected = 1;
    emit connected();
}

void NetConsole::FailConnect(Result failure) {
    m_connectTimer.stop();
    m_connectFailure = Result::Ok();
    Drop(m_pClientSocket);  // may be the socket whose notification is running: not used after
    m_state = State::Idle;
    m_bNetConnected = 0;
    emit connectFailed(failure);
}

Result NetConsole::StartServer(unsigned port) {
    if (Result r = CheckPort(port); !r)
        return r;
    Stop();
    m_netRing.Clear();
    m_bServerMode = true;
    m_nPeerCount = 0;
    auto listener = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
    if (!listener->Create(port, 1, platform::FD_ALL_EVENTS, nullptr))
        return SocketFailure("Can't create socket.", *listener);
    if (!listener->Listen(LISTEN_BACKLOG)) {
        Result r = SocketFailure("Can't listen client.", *listener);
        listener->Close();
        return r;
    }
    m_pListenSocket = std::move(listener);
    OpenSpare();
    m_nPort = port;
    m_state = State::Serving;
    m_bNetConnected = 1;
    return Result::Ok();
}

// Every slot is emptied whatever the mode says, so no state can leave a link behind. The links
// go first and the state after, so that whoever hears linkGoing still sees the link in use.
void NetConsole::Stop() {
    m_connectTimer.stop();
    m_connectFailure = Result::Ok();
    Drop(m_pPeerSocket);
    m_nPeerCount = 0;
    Drop(m_pListenSocket);
    m_acceptPause.stop();
    CloseSpare();
    Drop(m_pClientSocket);
    m_state = State::Idle;
    m_bNetConnected = 0;
}

Result NetConsole::Send(std::string_view line) {
    line = TrimRight(line);
    CLinkSocket* link = m_bNetConnected ? LinkInUse() : nullptr;
    if (!link)
        return Result::Fail("Not connected: the line was not sent");
    // Characters beyond ASCII take several bytes each: the buffer grows with the line.
    std::vector<unsigned char> buf(std::max<size_t>(SEND_BUFFER_SIZE, line.size()));
    const int count = EncodeSendLine(line, buf.data(), static_cast<int>(buf.size()));
    // Runs on the UI thread: only what the socket takes now is sent, so a peer that does not
    // read can never hold the window.
    const int sent = count > 0 ? link->SendAvailable(buf.data(), count) : 0;
    if (sent < 0)
        return SocketFailure("Can't send on the network link", *link);
    if (sent < count)
        return Result::Fail("The device does not take the bytes: the line was not sent completely",
                            std::to_string(sent) + " of " + std::to_string(count) +
                                " bytes were sent; the peer does not read.",
                            EAGAIN);
    return Result::Ok();
}

void NetConsole::Clear() {
    m_netRing.Clear();
}

CLinkSocket* NetConsole::LinkInUse() const {
    if (m_bServerMode)
        return m_pPeerSocket.get();
    return m_state == State::Connected ? m_pClientSocket.get() : nullptr;
}

// Whoever still uses the link (a file-send worker) lets go of it first; only then is it closed,
// so no send can run on a descriptor that is being closed (and perhaps already reused).
void NetConsole::Drop(std::unique_ptr<CLinkSocket>& slot) {
    if (!slot)
        return;
    emit linkGoing(slot.get());
    slot->Close();
    slot.reset();
}

void NetConsole::LinkAccept(CLinkSocket& listener) {
    if (&listener != m_pListenSocket.get()) {
        CLinkSocket stray;
        listener.Accept(stray);
        return;
    }
    bool shown = true;
    if (m_nPeerCount == 0) {
        auto peer = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
        if (AcceptOrPause(listener, *peer, shown)) {
            m_pPeerSocket = std::move(peer);
            m_nPeerCount = 1;
            emit peerAttached();
        } else if (shown) {
            emit failure(QStringLiteral("Connection Fail."),
                         QString::fromStdString(listener.LastError()));
        }
        return;
    }
    // One peer at a time: a further connection is accepted and closed at once, and so is every
    // other one already queued (up to a bound per notification). The queue holds only
    // LISTEN_BACKLOG connections; taking one per event-loop pass lets a burst of clients fill
    // it, and the kernel then drops new handshakes, which leaves each of those clients waiting
    // a second or more for its retry before it learns that it is not served.
    for (int taken = 0; taken < REFUSED_ACCEPTS_PER_NOTIFICATION; ++taken) {
        CLinkSocket extra;
        if (!AcceptOrPause(listener, extra, shown)) {
            const int err = listener.LastErrno();
            if (shown && !(taken > 0 && (err == EAGAIN || err == EWOULDBLOCK)))
                emit failure(QStringLiteral("Connection Fail."),
                             QString::fromStdString(listener.LastError()));
            return;
        }
        extra.Close();
    }
}

bool NetConsole::AcceptOrPause(CLinkSocket& listener, CLinkSocket& peer, bool& shown) {
    shown = true;
    if (listener.Accept(peer))
        return true;
    const int err = listener.LastErrno();
    if (err != EMFILE && err != ENFILE)
        return false;
    // No box here: showing one needs descriptors too (the display connection), and the
    // level-triggered notifier would fire again at once. The spare descriptor makes room to take
    // the connection off the queue, so its client learns at once that it was not served.
    shown = false;
    CloseSpare();
    CLinkSocket dropped;
    if (listener.Accept(dropped))
        dropped.Close();
    OpenSpare();
    listener.AsyncSelect(0);
    m_acceptPause.start();
    emit acceptPaused(
        QStringLiteral("no file descriptors left (%1)")
            .arg(err == EMFILE ? QStringLiteral("EMFILE") : QStringLiteral("ENFILE")));
    return false;
}

void NetConsole::LinkReceive(CLinkSocket& link, const unsigned char* bytes, int n) {
    if (m_pTap && m_pTap->Armed() && &link == LinkInUse()) {
        m_pTap->Chunk(bytes, n);
        // While a capture runs, the device passes small segments (one per read of its serial
        // side, a few hundred bytes): take what else is queued now, in order and up to a bound,
        // so that the event loop does not run once per segment. Stops as soon as the capture ends
        // or the link is no longer the one in use.
        unsigned char more[LINK_RECEIVE_CHUNK];
        for (int reads = 0; reads < CAPTURE_BATCH_READS; ++reads) {
            if (!m_pTap->Armed() || LinkInUse() != &link)
                break;
            const int got = link.Receive(more, LINK_RECEIVE_CHUNK, MSG_DONTWAIT);
            if (got <= 0)
                break;  // nothing queued (a close is seen by the next notification)
            m_pTap->Chunk(more, got);
        }
        return;
    }
    m_netRing.Put(bytes, n);
    emit received();
}

void NetConsole::LinkClose(CLinkSocket& link, int) {
    if (m_nPeerCount > 0 && &link == m_pPeerSocket.get()) {
        // The attached peer left: the server keeps listening and the next connection becomes
        // the peer. The peer is destroyed inside its own notification; nothing touches it after.
        Drop(m_pPeerSocket);
        m_nPeerCount = 0;
        emit peerGone();
        return;
    }
    if (&link == m_pClientSocket.get() && m_bNetConnected && !m_bServerMode)
        emit farEndClosed();
}
