#include "net/NetConsole.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <vector>

#include <QPointer>

#include "serial/EncodeSendLine.h"

using platform::Result;

namespace {

constexpr int SEND_BUFFER_SIZE = 1024;
// Reads a capture may take from one receive notification beyond the first.
constexpr int CAPTURE_BATCH_READS = 64;
// Datagrams taken per receive notification beyond the first.
constexpr int DATAGRAM_BATCH_READS = 64;
// How often a Telnet link checks its acknowledgement time-outs and sends what waits at its gate.
constexpr int TELNET_TICK_MS = 50;

int64_t SteadyNsNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A port the 16-bit field cannot hold would put the link on another port than the one the
// status line shows: refused before anything changes.
Result CheckPort(unsigned port) {
    if (port <= MAX_TCP_PORT)
        return Result::Ok();
    return Result::Fail("Invalid port number: use 0 to 65535",
                        std::to_string(port) + " is not a TCP port.", 0);
}

// "3 of 10 bytes were sent; the peer does not read." (the verb follows the count asked).
std::string NotSentReason(int sent, int count) {
    return std::to_string(sent) + " of " + std::to_string(count) +
           (count == 1 ? " byte was sent" : " bytes were sent") + "; the peer does not read.";
}

Result SocketFailure(const char* text, const CLinkSocket& socket) {
    return Result::Fail(text, socket.LastError(), socket.LastErrno());
}

}  // namespace

std::string_view TrimSendLine(std::string_view line) {
    const auto end = line.find_last_not_of(" \t\n\v\f\r");
    return line.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

NetConsole::NetConsole(QObject* parent) : QObject(parent) {
    m_connector.timer.setSingleShot(true);
    connect(&m_connector.timer, &QTimer::timeout, this, [this] {
        if (m_state == State::Connected && m_bUdp) {
            emit connected();  // a UDP link is up from Connect on: told once it has returned
            return;
        }
        if (m_state != State::Connecting)
            return;
        if (m_connector.failure.ok) {  // no failure kept: the time-out
            m_connector.failure =
                Result::Fail("Can't connect socket", std::strerror(ETIMEDOUT), ETIMEDOUT);
        }
        FailConnect(std::move(m_connector.failure));
    });
    m_listener.pause.setSingleShot(true);
    m_listener.pause.setInterval(ACCEPT_PAUSE_MS);
    connect(&m_listener.pause, &QTimer::timeout, this, [this] {
        if (m_listener.socket)
            m_listener.socket->AsyncSelect(true);
    });
    m_telnet.tick.setInterval(TELNET_TICK_MS);
    connect(&m_telnet.tick, &QTimer::timeout, this, &NetConsole::OnTelnetTick);
    m_telnet.breakEnd.setSingleShot(true);
    connect(&m_telnet.breakEnd, &QTimer::timeout, this, [this] {
        if (m_telnet.session && m_telnet.session->breakOn) {
            m_telnet.session->breakOn = false;
            SendTelnet(m_telnet.session->client.SetBreak(false, NowMs()));
            emit comPortChanged();
        }
    });
    m_telnet.drop.setSingleShot(true);
    connect(&m_telnet.drop, &QTimer::timeout, this, &NetConsole::DropNotReading);
}

NetConsole::~NetConsole() {
    Stop();
}

void NetConsole::Listener::OpenSpare() {
    if (spareFd < 0)
        spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void NetConsole::Listener::CloseSpare() {
    if (spareFd >= 0)
        ::close(spareFd);
    spareFd = -1;
}

void NetConsole::DeviceServer::End() {
    session.reset();
    tick.stop();
    breakEnd.stop();
    drop.stop();
}

Result NetConsole::Connect(const std::string& address, unsigned port) {
    if (Result r = CheckPort(port); !r)
        return r;
    if (m_remoteOptions.protocol == NetProtocol::Udp) {
        if (Result r = CheckPort(m_remoteOptions.udpLocalPort); !r)
            return r;
    }
    Stop();
    m_netRing.Clear();
    m_dropReason.clear();
    m_bFarEndClosed = false;
    m_bUdp = m_remoteOptions.protocol == NetProtocol::Udp;
    if (m_bUdp)
        return ConnectUdp(address, port);
    auto link = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
    if (!link->Create(0, SOCK_STREAM, nullptr))
        return SocketFailure("Can't create socket", *link);
    m_strAddress = address;
    m_nPort = port;
    m_state = State::Connecting;
    m_connector.failure = Result::Ok();
    const bool started = link->Connect(address, port);
    m_pLink = std::move(link);
    if (started) {
        m_connector.timer.start(CONNECT_TIMEOUT_MS);
    } else {
        // Known at once (an invalid address, an unreachable network), but told like every other
        // outcome: after Connect has returned, through connectFailed.
        m_connector.failure = SocketFailure("Can't connect socket", *m_pLink);
        m_connector.timer.start(0);
    }
    return Result::Ok();
}

Result NetConsole::ConnectUdp(const std::string& address, unsigned port) {
    auto link = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
    const unsigned local = m_remoteOptions.udpLocalPort;
    if (!link->Create(local, SOCK_DGRAM, nullptr)) {
        return Result::Fail(
            "Can't create socket",
            (local ? "Binding local UDP port " + std::to_string(local) + " failed: "
                   : std::string("Binding a local UDP port failed: ")) +
                link->LastError() +
                (local ? ". Choose another local port, or 0 for any free one." : "."),
            link->LastErrno());
    }
    m_strAddress = address;
    m_nPort = port;
    if (!link->SetDatagramPeer(address, port)) {
        // Told like a TCP link's failure: after Connect has returned, through connectFailed.
        m_state = State::Connecting;
        m_connector.failure = SocketFailure("Can't connect socket", *link);
        m_pLink = std::move(link);
        m_connector.timer.start(0);
        return Result::Ok();
    }
    m_pLink = std::move(link);
    m_state = State::Connected;
    m_connector.timer.start(0);
    emit linkChanged();  // before Connect returns: a send may follow at once
    return Result::Ok();
}

Result NetConsole::StartUdpServer(unsigned port) {
    auto socket = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
    if (!socket->Create(port, SOCK_DGRAM, nullptr))
        return SocketFailure("Can't create socket.", *socket);
    m_pLink = std::move(socket);
    m_nPort = port;
    m_state = State::Listening;
    return Result::Ok();
}

bool NetConsole::LinkEnds(platform::SocketEnd* local, platform::SocketEnd* peer) const {
    // Server Mode's UDP socket is its link from the first datagram on, also while listening.
    return m_pLink && m_state != State::Connecting && m_pLink->PeerEnd(peer) &&
           m_pLink->LocalEnd(local);
}

unsigned NetConsole::LocalPort() const {
    if (m_pLink)
        return m_pLink->LocalPort();
    return m_listener.socket ? m_listener.socket->LocalPort() : 0;
}

Result NetConsole::DatagramFailure(const CLinkSocket& link) const {
    const int err = link.LastErrno();
    if (err == ECONNREFUSED)
        return Result::Fail("The device does not listen on UDP port " + std::to_string(m_nPort),
                            m_strAddress + " answered that nothing takes datagrams on UDP port " +
                                std::to_string(m_nPort) +
                                " (ICMP port unreachable). Check the device server's UDP port "
                                "and that its UDP mode is on.",
                            err);
    if (err == EMSGSIZE)
        return Result::Fail(
            "The line is too long for one UDP datagram",
            "A datagram holds at most " + std::to_string(LINK_DATAGRAM_MAX) + " bytes.", err);
    if (err == EDESTADDRREQ)
        return Result::Fail("Not connected: the line was not sent",
                            "No device has sent a datagram to the server yet.", err);
    return SocketFailure("Can't send on the network link", link);
}

void NetConsole::LinkDatagramError(CLinkSocket& link, int errorCode) {
    if (&link != m_pLink.get() || m_state != State::Connected)
        return;
    // The link stays: a device server that starts listening later takes the next datagram.
    const Result r = DatagramFailure(link);
    (void)errorCode;
    emit failure(QString::fromStdString(r.text), QString::fromStdString(r.reason));
}

void NetConsole::LinkConnect(CLinkSocket& link, int errorCode) {
    if (&link != m_pLink.get() || m_state != State::Connecting)
        return;
    if (errorCode != 0) {
        FailConnect(SocketFailure("Can't connect socket", link));
        return;
    }
    m_connector.timer.stop();
    m_state = State::Connected;
    {
        QPointer<NetConsole> alive(this);
        emit linkChanged();
        if (!alive || &link != m_pLink.get() || m_state != State::Connected)
            return;
    }
    if (m_remoteOptions.framing == LinkFraming::Rfc2217)
        StartTelnet(link);
    emit connected();
}

void NetConsole::FailConnect(Result failure) {
    m_connector.timer.stop();
    m_connector.failure = Result::Ok();
    Drop(m_pLink);  // may be the socket whose notification is running: not used after
    m_state = State::Idle;
    emit connectFailed(failure);
}

Result NetConsole::StartServer(unsigned port) {
    if (Result r = CheckPort(port); !r)
        return r;
    Stop();
    m_netRing.Clear();
    m_dropReason.clear();
    m_bUdp = m_remoteOptions.protocol == NetProtocol::Udp;
    if (m_bUdp)
        return StartUdpServer(port);
    auto listener = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
    if (!listener->Create(port, SOCK_STREAM, nullptr))
        return SocketFailure("Can't create socket.", *listener);
    if (!listener->Listen(LISTEN_BACKLOG)) {
        Result r = SocketFailure("Can't listen client.", *listener);
        listener->Close();
        return r;
    }
    m_listener.socket = std::move(listener);
    m_listener.OpenSpare();
    m_nPort = port;
    m_state = State::Listening;
    return Result::Ok();
}

// Every part is emptied whatever the state says, so no state can leave a socket behind. The
// link goes first and the state after, so that whoever hears linkGoing still sees the link in
// use.
void NetConsole::Stop() {
    m_connector.timer.stop();
    m_connector.failure = Result::Ok();
    Drop(m_pLink);
    if (m_state == State::Serving)
        m_state = State::Listening;
    Drop(m_listener.socket);
    m_listener.pause.stop();
    m_listener.CloseSpare();
    m_state = State::Idle;
}

Result NetConsole::Send(std::string_view line) {
    line = TrimSendLine(line);
    if (!LinkInUse())
        return Result::Fail("Not connected: the line was not sent");
    // Characters beyond ASCII take several bytes each: the buffer grows with the line.
    std::vector<unsigned char> buf(std::max<size_t>(SEND_BUFFER_SIZE, line.size()));
    const int count = EncodeSendLine(line, buf.data(), static_cast<int>(buf.size()));
    return SendBytes(buf.data(), count);
}

Result NetConsole::SendBytes(const unsigned char* bytes, int count) {
    CLinkSocket* link = LinkInUse();
    if (!link)
        return Result::Fail("Not connected: the line was not sent");
    if (Rfc2217() && count > 0)
        return SendTelnetData(*link, bytes, count);
    // Runs on the UI thread: only what the socket takes now is sent, so a peer that does not
    // read can never hold the window.
    const platform::Stamp before = platform::Stamp::Now();  // stamped as the send starts
    const int sent = count > 0 ? link->SendAvailable(bytes, count) : 0;
    if (sent > 0)
        m_traffic.Report(platform::TrafficKind::NetTx, before, bytes, static_cast<size_t>(sent));
    if (sent < 0)
        return Udp() ? DatagramFailure(*link)
                     : SocketFailure("Can't send on the network link", *link);
    if (sent < count)
        return Result::Fail("The device does not take the bytes: the line was not sent completely",
                            NotSentReason(sent, count), EAGAIN);
    return Result::Ok();
}

void NetConsole::Clear() {
    m_netRing.Clear();
}

// Whoever still uses the link (a file-send worker) lets go of it first; only then is it closed,
// so no send can run on a descriptor that is being closed (and perhaps already reused).
void NetConsole::Drop(std::unique_ptr<CLinkSocket>& slot) {
    if (!slot)
        return;
    emit linkGoing(slot.get());
    if (m_telnet.session && m_telnet.session->link == slot.get())
        m_telnet.End();
    slot->Close();
    slot.reset();
}

void NetConsole::LinkAccept(CLinkSocket& listener) {
    if (&listener != m_listener.socket.get()) {
        CLinkSocket stray;
        listener.Accept(stray);
        return;
    }
    bool shown = true;
    if (m_state == State::Listening) {
        auto peer = std::make_unique<CLinkSocket>(static_cast<ILinkOwner*>(this));
        if (AcceptOrPause(listener, *peer, shown)) {
            m_pLink = std::move(peer);
            m_state = State::Serving;
            m_dropReason.clear();
            const CLinkSocket* attached = m_pLink.get();
            QPointer<NetConsole> alive(this);
            emit linkChanged();
            if (!alive || attached != m_pLink.get() || m_state != State::Serving)
                return;
            if (m_remoteOptions.framing == LinkFraming::Rfc2217)
                StartTelnet(*m_pLink);
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
    m_listener.CloseSpare();
    CLinkSocket dropped;
    if (listener.Accept(dropped))
        dropped.Close();
    m_listener.OpenSpare();
    listener.AsyncSelect(false);
    m_listener.pause.start();
    emit acceptPaused(
        QStringLiteral("no file descriptors left (%1)")
            .arg(err == EMFILE ? QStringLiteral("EMFILE") : QStringLiteral("ENFILE")));
    return false;
}

// One datagram read from the UDP link: told to its sender's far end first, then delivered as one
// chunk. False when a handler ended or replaced the link (nothing more to read from it).
bool NetConsole::TakeDatagram(CLinkSocket& link, const unsigned char* bytes, int n,
                              const platform::Stamp& at) {
    if (&link != m_pLink.get())
        return false;
    // Server Mode answers the sender of the last datagram: a new sender is a new far end,
    // told before its datagram is delivered (and before peerAttached for the first one).
    platform::SocketEnd from;
    QPointer<NetConsole> alive(this);
    if ((m_state == State::Listening || m_state == State::Serving) && link.PeerEnd(&from) &&
        (m_state == State::Listening || !(from == m_toldPeer))) {
        m_toldPeer = from;
        emit linkChanged();
        if (!alive || m_pLink.get() != &link)
            return false;
    }
    if (m_state == State::Listening) {
        // Server Mode's first datagram: its sender is the peer from now on.
        m_state = State::Serving;
        m_dropReason.clear();
        emit peerAttached();
        if (!alive || m_pLink.get() != &link || m_state != State::Serving)
            return false;
    }
    // One datagram is one chunk, never batched with the next.
    Deliver(link, bytes, n, at);
    return alive && m_pLink.get() == &link;
}

void NetConsole::LinkReceive(CLinkSocket& link, const unsigned char* bytes, int n,
                             const platform::Stamp& at) {
    if (link.IsDatagram()) {
        if (!TakeDatagram(link, bytes, n, at))
            return;
        // Take the datagrams already queued too, each read and stamped on its own, up to a
        // bound: one event-loop pass per datagram would fall behind a device that sends many
        // small ones. Stops when the queue is empty, at a pending error (the next notification
        // reports it) or as soon as a handler has ended or replaced the link.
        QPointer<NetConsole> alive(this);
        for (int reads = 0; reads < DATAGRAM_BATCH_READS; ++reads) {
            if (!alive || m_pLink.get() != &link)
                break;
            if (m_datagram.empty())
                m_datagram.resize(LINK_DATAGRAM_MAX + 1);
            const int got = link.Receive(m_datagram.data(), LINK_DATAGRAM_MAX + 1, MSG_DONTWAIT);
            if (got <= 0 || !TakeDatagram(link, m_datagram.data(), got, platform::Stamp::Now()))
                break;
        }
        return;
    }
    const bool capturing = m_pTap && m_pTap->Armed() && &link == LinkInUse();
    Deliver(link, bytes, n, at);
    // A read shorter than the chunk took everything queued: reading again would only be told
    // "nothing now". What arrives meanwhile makes the socket readable again.
    if (!capturing || n < LINK_RECEIVE_CHUNK)
        return;
    // While a capture runs, take what else is queued now after a full read, in order and up to
    // a bound, so that the event loop does not run once per chunk. Stops after a short read, as
    // soon as the capture ends or the link is no longer the one in use; a read that meets the
    // close has it delivered once this notification returns.
    unsigned char more[LINK_RECEIVE_CHUNK];
    for (int reads = 0; reads < CAPTURE_BATCH_READS; ++reads) {
        if (!m_pTap || !m_pTap->Armed() || LinkInUse() != &link)
            break;
        const int got = link.Receive(more, LINK_RECEIVE_CHUNK, MSG_DONTWAIT);
        if (got <= 0)
            break;
        Deliver(link, more, got, platform::Stamp::Now());
        if (got < LINK_RECEIVE_CHUNK)
            break;
    }
}

void NetConsole::Deliver(CLinkSocket& link, const unsigned char* bytes, int n,
                         const platform::Stamp& at) {
    if (&link == LinkInUse())
        m_traffic.Report(platform::TrafficKind::NetRx, at, bytes, static_cast<size_t>(n));
    telnet::Bytes data;
    if (m_telnet.session && m_telnet.session->link == &link) {
        const int64_t ns = at.steadyNs;
        ComPortClient::Output out =
            m_telnet.session->client.Receive(bytes, static_cast<size_t>(n), ns / 1000000);
        SendTelnet(out.reply);
        if (out.changed)
            AskNotifications();
        if (out.late && m_telnet.session->reported) {
            // The report told before is out of date: told again once nothing waits for an answer.
            m_telnet.session->reportDue = true;
            m_telnet.session->revisedDue = true;
        }
        data = std::move(out.data);
        bytes = data.data();
        n = static_cast<int>(data.size());
        // The data first, then what else came: a handler of these may end the link.
        if (n > 0)
            Store(link, bytes, n, at);
        QPointer<NetConsole> alive(this);
        for (const platform::ModemState& m : out.notifications.modem) {
            emit remoteModemState(m, ns);
            if (!alive)
                return;
        }
        for (const comport::LineState& l : out.notifications.line) {
            emit remoteLineState(l, ns);
            if (!alive)
                return;
        }
        if (out.changed) {
            emit comPortChanged();
            if (alive)
                MaybeReport();
        }
        return;
    }
    Store(link, bytes, n, at);
}

void NetConsole::Store(CLinkSocket& link, const unsigned char* bytes, int n,
                       const platform::Stamp& at) {
    if (m_pTap && m_pTap->Armed() && &link == LinkInUse()) {
        m_pTap->Chunk(bytes, n);
        return;
    }
    m_netRing.Put(bytes, n, at);
    emit received();
}

int64_t NetConsole::NowMs() const {
    return SteadyNsNow() / 1000000;
}

void NetConsole::StartTelnet(CLinkSocket& link) {
    m_telnet.session = std::make_unique<TelnetLink>();
    m_telnet.session->link = &link;
    m_telnet.session->gate = std::make_shared<LinkSendGate>(m_traffic.Get());
    m_telnet.session->client.SetAnswerTimeoutMs(m_remoteOptions.answerTimeoutMs);
    const int64_t now = NowMs();
    telnet::Bytes out = m_telnet.session->client.Start(now);
    if (m_remoteOptions.settings) {
        const telnet::Bytes apply = m_telnet.session->client.Apply(*m_remoteOptions.settings, now);
        out.insert(out.end(), apply.begin(), apply.end());
    }
    // Told once the option is settled, with or without settings: a server that never agrees
    // is worth knowing even when nothing was asked of it.
    m_telnet.session->reportDue = true;
    SendTelnet(out);
    m_telnet.tick.start();
}

void NetConsole::AskNotifications() {
    if (!m_telnet.session || m_telnet.session->notificationsAsked ||
        !m_remoteOptions.notifications ||
        m_telnet.session->client.Option() != ComPortClient::OptionState::Agreed)
        return;
    m_telnet.session->notificationsAsked = true;
    SendTelnet(m_telnet.session->client.RequestNotifications(true));
}

void NetConsole::SendTelnet(const telnet::Bytes& bytes) {
    if (!m_telnet.session || bytes.empty() || !m_telnet.session->dropText.empty())
        return;
    LinkSendGate& gate = *m_telnet.session->gate;
    int err = 0;
    // A failing socket shows itself by its close notification; nothing more to do here.
    if (gate.Post(m_telnet.session->link->GetSocketHandle(), bytes.data(), bytes.size(), &err) ||
        err != ENOBUFS)
        return;
    // The device server keeps asking and does not take the answers. Its link is not read any
    // more (no further requests, no further replies) and goes once the event loop is back.
    const size_t waiting = gate.Waiting();
    m_telnet.session->dropText = "the device server does not read: " + std::to_string(waiting) +
                                 (waiting == 1 ? " byte waiting" : " bytes waiting");
    m_telnet.session->link->AsyncSelect(false);
    m_telnet.drop.start(0);
}

void NetConsole::DropNotReading() {
    if (!m_telnet.session || m_telnet.session->dropText.empty())
        return;
    const CLinkSocket* link = m_telnet.session->link;
    m_dropReason = m_telnet.session->dropText;
    const QString text = QString::fromStdString(m_dropReason);
    QPointer<NetConsole> alive(this);
    if (link != m_pLink.get())
        return;
    if (m_state == State::Serving) {
        Drop(m_pLink);
        m_state = State::Listening;
        emit peerGone();
    } else if (m_state == State::Connected) {
        Drop(m_pLink);
        m_state = State::Idle;
        emit farEndClosed();
    } else {
        return;
    }
    if (alive)
        emit linkDropped(text);
}

Result NetConsole::SendTelnetData(CLinkSocket& link, const unsigned char* bytes, int n) {
    telnet::Bytes escaped;
    telnet::AppendEscaped(bytes, static_cast<size_t>(n), escaped);
    LinkSendGate& gate = *m_telnet.session->gate;
    // What waits at the gate goes out first and in order; a peer that does not read lets only so
    // much wait, and a line beyond that is not sent at all (never half of a doubled 0xFF).
    if (gate.Waiting() + escaped.size() > LinkSendGate::MAX_WAITING)
        return Result::Fail("The device does not take the bytes: the line was not sent completely",
                            NotSentReason(0, n), EAGAIN);
    int err = 0;
    if (!gate.Post(link.GetSocketHandle(), escaped.data(), escaped.size(), &err))
        return Result::Fail("Can't send on the network link", std::strerror(err), err);
    return Result::Ok();
}

void NetConsole::OnTelnetTick() {
    if (!m_telnet.session)
        return;
    int err = 0;
    m_telnet.session->gate->Flush(m_telnet.session->link->GetSocketHandle(), &err);
    if (m_telnet.session->client.CheckTimeouts(NowMs())) {
        QPointer<NetConsole> alive(this);
        emit comPortChanged();
        if (alive)
            MaybeReport();
    }
}

void NetConsole::MaybeReport() {
    if (!m_telnet.session || !m_telnet.session->reportDue)
        return;
    const ComPortClient& c = m_telnet.session->client;
    using Setting = ComPortClient::Setting;
    using AckState = ComPortClient::AckState;
    if (c.Option() == ComPortClient::OptionState::Asking)
        return;
    RemoteSettingsReport report;
    report.option = c.Option();
    report.answerTimeoutMs = c.AnswerTimeoutMs();
    report.revised = m_telnet.session->revisedDue;
    for (Setting s :
         {Setting::Baud, Setting::DataBits, Setting::Parity, Setting::StopBits, Setting::Flow}) {
        const ComPortClient::Ack& a = c.AckOf(s);
        if (a.state == AckState::None)
            continue;
        if (a.state == AckState::Pending)
            return;  // an answer is still due
        report.items.push_back({s, a.state, a.requested, a.answered, a.answeredAfterMs, a.late});
    }
    m_telnet.session->reportDue = false;
    m_telnet.session->revisedDue = false;
    m_telnet.session->reported = true;
    emit remoteSettingsChecked(report);
}

Result NetConsole::ApplyRemoteSettings(const LineSettings& settings) {
    if (!Rfc2217())
        return NotTelnet();
    SendTelnet(m_telnet.session->client.Apply(settings, NowMs()));
    m_telnet.session->reportDue = true;
    m_telnet.session->revisedDue = false;
    emit comPortChanged();
    return Result::Ok();
}

Result NetConsole::SetRemoteDtr(bool on) {
    if (!Rfc2217())
        return NotTelnet();
    SendTelnet(m_telnet.session->client.SetDtr(on, NowMs()));
    emit comPortChanged();
    return Result::Ok();
}

Result NetConsole::SetRemoteRts(bool on) {
    if (!Rfc2217())
        return NotTelnet();
    SendTelnet(m_telnet.session->client.SetRts(on, NowMs()));
    emit comPortChanged();
    return Result::Ok();
}

Result NetConsole::SendRemoteBreak(int ms) {
    if (!Rfc2217())
        return NotTelnet();
    if (ms <= 0)
        return Result::Fail("Invalid break length: use 1 ms or more");
    m_telnet.session->breakOn = true;
    SendTelnet(m_telnet.session->client.SetBreak(true, NowMs()));
    m_telnet.breakEnd.start(ms);
    emit comPortChanged();
    return Result::Ok();
}

Result NetConsole::NotTelnet() const {
    return Result::Fail("The network link does not speak RFC 2217",
                        "Choose Telnet with Com Port Control in Network Options..., then connect "
                        "again.");
}

void NetConsole::LinkClose(CLinkSocket& link, int) {
    if (&link != m_pLink.get())
        return;
    if (m_state == State::Serving) {
        // The attached peer left: the server keeps listening and the next connection becomes
        // the peer. The peer is destroyed inside its own notification; nothing touches it after.
        Drop(m_pLink);
        m_state = State::Listening;
        emit peerGone();
        return;
    }
    if (m_state == State::Connected) {
        m_bFarEndClosed = true;
        emit farEndClosed();
    }
}
