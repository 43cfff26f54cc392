#include "transfer/PassThrough.h"

#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>

#include "net/NetConsole.h"
#include "platform/File.h"
#include "serial/SerialConsole.h"
#include "transfer/CaptureTimeout.h"
#include "transfer/Diagnosis.h"

using platform::Result;

namespace {

std::string BytesText(int64_t size) {
    return std::to_string(size) + " bytes";
}

int64_t SteadyNs(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// A descriptor of the worker's own (a duplicate of the link's): the link object may be destroyed
// while the worker sends, the duplicate lives as long as the worker's job.
struct OwnedFd {
    explicit OwnedFd(int f) : fd(f) {}
    ~OwnedFd() {
        if (fd >= 0)
            ::close(fd);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int fd;
};

// Sends datagrams of a file no faster than the device server can write them to its serial line
// (a datagram that finds its buffer full is lost, and UDP never sends it again). Worker thread.
class DatagramPacer {
public:
    // `to`: where the datagrams go when the socket has no fixed peer (Server Mode).
    // `bytesPerSecond` 0: no pacing, only the socket's own room.
    DatagramPacer(int fd, double bytesPerSecond, std::optional<sockaddr_in> to)
        : m_fd(fd), m_nsPerByte(bytesPerSecond > 0 ? 1e9 / bytesPerSecond : 0), m_to(to) {}

    // One datagram, after the time the bytes before it take on the serial line. 0, or the errno
    // that ended it (ECANCELED for the abort).
    int Send(const unsigned char* b, int n, const platform::AbortSignal& abort,
             platform::ITrafficObserver* traffic) {
        const auto now = std::chrono::steady_clock::now();
        // No credit for time spent before (the start delay, a slow read), beyond the waits'
        // own overshoot: a rate with less than a millisecond between datagrams keeps its
        // average although each wait wakes a little late.
        if (m_next + kCredit < now)
            m_next = now;
        if (!WaitUntil(m_next, abort))
            return ECANCELED;
        for (;;) {
            if (abort.IsRaised())
                return ECANCELED;
            const platform::Stamp at = platform::Stamp::Now();
            const ssize_t sent =
                m_to ? ::sendto(m_fd, b, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&*m_to), sizeof *m_to)
                     : ::send(m_fd, b, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent == n) {
                if (traffic)
                    traffic->Traffic(platform::TrafficKind::NetTx, at, b, static_cast<size_t>(n));
                break;
            }
            if (sent >= 0)
                return EMSGSIZE;  // never for a datagram this small
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return errno;
            // The socket's own buffer is full: wait for room (or the abort).
            pollfd fds[2] = {{m_fd, POLLOUT, 0}, {abort.Fd(), POLLIN, 0}};
            ::poll(fds, fds[1].fd >= 0 ? 2 : 1, fds[1].fd >= 0 ? -1 : 50);
        }
        m_next += std::chrono::nanoseconds(static_cast<int64_t>(m_nsPerByte * n));
        return 0;
    }

private:
    static bool WaitUntil(std::chrono::steady_clock::time_point t,
                          const platform::AbortSignal& abort) {
        for (;;) {
            if (abort.IsRaised())
                return false;
            const auto left = t - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                return true;
            // To the microsecond: whole milliseconds would cap the rate at a datagram a
            // millisecond.
            const auto wait =
                std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(50));
            const timespec ts{0, static_cast<long>(wait.count())};
            pollfd p{abort.Fd(), POLLIN, 0};
            ::ppoll(&p, p.fd >= 0 ? 1 : 0, &ts, nullptr);
        }
    }

    static constexpr std::chrono::milliseconds kCredit{2};
    const int m_fd;
    const double m_nsPerByte;
    const std::optional<sockaddr_in> m_to;
    std::chrono::steady_clock::time_point m_next{};
};

}  // namespace

// One link of the pass-through: its capture, the capture's time-out, the link's receive path
// into the capture (IReceiveTap) and the pass-through as the capture sees it (ICaptureHost).
// The serial capture runs on the port's receive thread: everything it tells the UI thread is
// posted there as values, with the run it belongs to, and dropped on arrival when that run is no
// longer the current one. The network capture runs on the UI thread, where it is carried out at
// once.
class PassThrough::Link : public ICaptureHost, public IReceiveTap {
public:
    Link(PassThrough& pt, CaptureLink which)
        : timeout(which, CAPTURE_TIMEOUT_MS),
          m_pt(pt),
          m_serial(which == CaptureLink::Serial),
          m_traits(m_serial ? g_serialCaptureTraits : g_networkCaptureTraits) {}

    CCaptureFields capture;
    CaptureTimeout timeout;

    // The receive path.
    bool Armed() const override { return capture.m_bCaptureArmed.load() == 1; }
    void Chunk(const unsigned char* bytes, int n) override {
        CaptureStep(capture, m_traits, *this, bytes, n);
    }

    // The capture.
    bool IsTransferActive() override { return m_pt.m_nActiveRun.load() != 0; }
    void ClearTransferActive(uint64_t run) override {
        uint64_t expected = run;
        if (m_pt.m_nActiveRun.compare_exchange_strong(expected, 0))
            m_pt.m_workers.Stop(run);  // the device has what it needs: no further chunk
    }
    void ConsoleAppend(const unsigned char* bytes, int n) override {
        (m_serial ? m_pt.m_serial.Ring() : m_pt.m_net.Ring()).Put(bytes, n);
    }
    void ConsoleNotify() override {
        if (m_serial)
            m_pt.m_serial.NotifyReceived();  // queued to the window by its connection
        else
            emit m_pt.m_net.received();
    }
    void StartTimeout(uint64_t run, CaptureLink) override { timeout.NoteChunk(run); }
    void StopTimeout(uint64_t run, CaptureLink) override {
        OnUi(run, [this] { timeout.Stop(); });
    }
    void CaptureProgress(uint64_t run, int64_t stored, int64_t announced) override {
        OnUi(run, [pt = &m_pt, stored, announced] {
            emit pt->progress(pt->m_run.direction, stored, announced);
        });
    }
    void CaptureEnded(uint64_t run, CaptureEnd how, const CaptureTally& tally,
                      const std::string& path, const std::string& why) override {
        OnUi(run, [this, how, tally, path, why] {
            m_pt.EndAfterPause(EndOf(how, tally, path, why), END_PAUSE_MS);
        });
    }

private:
    PassOutcome EndOf(CaptureEnd how, const CaptureTally& tally, const std::string& path,
                      const std::string& why) const {
        PassOutcome out = m_pt.OutcomeOf(PassOutcome::End::Completed, &tally);
        // A capture on the serial link stores what the network side sent.
        out.direction = m_serial ? PassDirection::NetToSerial : PassDirection::SerialToNet;
        out.path = path;
        switch (how) {
            case CaptureEnd::Completed:
                m_pt.Diagnose(out, path);
                break;
            case CaptureEnd::Rejected:
                out.end = PassOutcome::End::Rejected;
                break;
            case CaptureEnd::Cancelled:
                out.end = PassOutcome::End::Cancelled;
                break;
            case CaptureEnd::OpenFailed:
                out.end = PassOutcome::End::OpenFailed;
                out.text = "Can't create the received file";
                out.detail = "The file was not stored: " + path + "\n" + why;
                break;
            case CaptureEnd::WriteFailed:
                // A failed write leaves the bytes stored until then: the detail says so, as a
                // time-out's short capture does, instead of claiming nothing was stored.
                out.end = PassOutcome::End::WriteFailed;
                out.text = "Can't write the received file";
                out.detail = "incomplete: " + std::to_string(out.stored) + " of " +
                             std::to_string(out.announced) + " bytes stored at " + path + "\n" +
                             why;
                break;
        }
        return out;
    }

    // Runs fn on the pass-through's own thread (the window's, or a runner station's) for `run`:
    // at once when called there, else posted; dropped when `run` is no longer the current, open
    // run by then.
    template <typename Fn>
    void OnUi(uint64_t run, Fn fn) {
        PassThrough* pt = &m_pt;
        auto guarded = [pt, run, fn = std::move(fn)] {
            if (pt->m_nRun.load() == run && pt->m_state == RunState::Running)
                fn();
        };
        if (QThread::currentThread() == pt->thread())
            guarded();
        else
            QMetaObject::invokeMethod(pt, std::move(guarded), Qt::QueuedConnection);
    }

    PassThrough& m_pt;
    const bool m_serial;
    const CCaptureLinkTraits& m_traits;
};

PassThrough::PassThrough(SerialConsole& serial, NetConsole& net, QObject* parent)
    : QObject(parent),
      m_serial(serial),
      m_net(net),
      m_pSerialLink(std::make_unique<Link>(*this, CaptureLink::Serial)),
      m_pNetLink(std::make_unique<Link>(*this, CaptureLink::Network)) {
    qRegisterMetaType<PassOutcome>();
    m_endTimer.setSingleShot(true);
    connect(&m_endTimer, &QTimer::timeout, this, [this] { EndRun(m_run.pendingEnd); });
    connect(&m_pSerialLink->timeout, &CaptureTimeout::expired, this, &PassThrough::OnTimeout);
    connect(&m_pNetLink->timeout, &CaptureTimeout::expired, this, &PassThrough::OnTimeout);
    connect(&m_workers, &SendWorkers::ended, this, &PassThrough::OnWorkerEnded);
    m_serial.SetCaptureTap(m_pSerialLink.get());
    m_net.SetCaptureTap(m_pNetLink.get());
    // A worker on a port that closes lets go of it at once; one on a link that goes, too.
    connect(&m_serial, &SerialConsole::aboutToClose, this, [this] {
        if (m_run.workerOnSerial)
            m_workers.Abort();
    });
    connect(&m_net, &NetConsole::linkGoing, this, &PassThrough::OnLinkGoing);
    // A link lost while the file is under way ends the run at once: nothing more can arrive.
    // The console drops a device server that does not read (its reason in DropReason()), and
    // tells that like a close.
    connect(&m_net, &NetConsole::farEndClosed, this, [this] {
        if (m_run.fileSentOnNet)
            return;
        const std::string where = m_net.Address() + ":" + std::to_string(m_net.Port());
        if (!m_net.DropReason().empty())
            EndOnLinkLost(
                "the device server does not read",
                "The link to " + where + " was dropped during the transfer: " + m_net.DropReason());
        else
            EndOnLinkLost(
                "network peer closed the connection",
                "The device at " + where + " closed the network connection during the transfer");
    });
    connect(&m_net, &NetConsole::peerGone, this, [this] {
        if (m_run.fileSentOnNet)
            return;
        const std::string where = "port " + std::to_string(m_net.Port()) + " (Server Mode)";
        if (!m_net.DropReason().empty())
            EndOnLinkLost("the device server does not read",
                          "The device connected to " + where +
                              " was dropped during the transfer: " + m_net.DropReason());
        else
            EndOnLinkLost("network peer disconnected from the server",
                          "The device connected to " + where + " left during the transfer");
    });
    connect(&m_serial, &SerialConsole::portLost, this, [this](const QString& reason) {
        EndOnLinkLost("serial port lost (" + reason.toStdString() + ")",
                      "The serial port " + m_serial.PortName() +
                          " was lost during the transfer: " + reason.toStdString());
    });
}

PassThrough::~PassThrough() {
    ++m_nRun;
    m_nActiveRun = 0;
    m_workers.Abort();
    m_serial.SetCaptureTap(nullptr);
    m_net.SetCaptureTap(nullptr);
    m_pSerialLink->capture.ResetCapture();
    m_pNetLink->capture.ResetCapture();
}

void PassThrough::SetWorkerLauncher(SendWorkers::Launcher launcher) {
    m_workers.SetLauncher(std::move(launcher));
}

Result PassThrough::CheckSendFile(const std::string& path) {
    platform::CFile test;
    if (!test.OpenRead(path))
        return Result::Fail("Can't Open File", path + ": " + test.LastError());
    // A bigger file would be announced wrongly and "arrive" with the wrong bytes.
    const int64_t size = test.GetLength();
    if (size > MAX_SEND_FILE_SIZE)
        return Result::Fail("File too large: at most 2147483647 bytes can be sent",
                            path + " has " + BytesText(size) + ".");
    return Result::Ok();
}

Result PassThrough::Start(PassDirection direction, const std::string& path,
                          const std::string& name) {
    if (Result r = CheckSendFile(path); !r)
        return r;
    // The stored bytes are compared with the sent file while they are stored.
    auto compare = std::make_unique<CSourceCompare>();
    if (!compare->Open(path))
        return Result::Fail("Can't Open File", path + ": " + compare->LastError());
    // In Server Mode the File Send commands are possible before a device has connected, and the
    // peer may leave while the user picks the file: then there is nothing to send on or to
    // capture from.
    CLinkSocket* link = m_net.IsConnected() ? m_net.LinkInUse() : nullptr;
    if (!link)
        return Result::Fail("No device is connected to the server",
                            "File Send needs a connected device in Server Mode.");
    if (!m_serial.IsOpen())
        return Result::Fail("Can't open PORT", "File Send needs the serial port open.");
    // The network worker sends on a descriptor of its own (see OwnedFd).
    std::shared_ptr<OwnedFd> netFd;
    if (direction == PassDirection::NetToSerial) {
        netFd = std::make_shared<OwnedFd>(::fcntl(link->GetSocketHandle(), F_DUPFD_CLOEXEC, 0));
        if (netFd->fd < 0)
            return Result::Fail(
                "Can't start the file send",
                std::string("No descriptor for the sending link: ") + std::strerror(errno), errno);
    }

    // A run still going ends as cancelled; a time-out left running by an earlier transfer must
    // not end this one; the worker of an earlier run is cut short and never sends another byte,
    // and the link it sent on goes back to notifications.
    if (m_state != RunState::Idle)
        Cancel();
    const uint64_t run = ++m_nRun;
    m_pSerialLink->timeout.SetRun(run);
    m_pNetLink->timeout.SetRun(run);
    StopTimeouts();
    m_workers.Abort();
    ReleaseSendingLink();
    m_endTimer.stop();

    m_run = Run{};
    m_run.direction = direction;
    m_run.sendFileName = name;
    m_run.sendPath = path;
    m_run.sentSize = compare->SourceSize();
    m_run.workerOnSerial = direction == PassDirection::SerialToNet;

    SendFileJob job;
    job.path = path;
    job.startDelayMs = m_settings.startDelayMs;
    Link& capturing = CapturingLink();
    CaptureTimeout* captureTimeout = m_settings.timeoutFromHeader ? &capturing.timeout : nullptr;
    // The time-out objects live as long as this pass-through, which outlives its workers; the
    // header's time is the run's, shared with its worker.
    job.headerLeaving = [headerLeft = m_run.headerLeftNs, run, captureTimeout] {
        headerLeft->store(SteadyNs(std::chrono::steady_clock::now()));
        if (captureTimeout)
            captureTimeout->NoteChunk(run);
    };
    if (direction == PassDirection::SerialToNet) {
        CSerialPort& port = m_serial.Port();
        job.chunk = SERIAL_SEND_CHUNK;
        job.yieldAfterChunk = true;
        // A port that is lost reports itself (SerialConsole::portLost); the worker goes on until
        // the run ends. The port outlives the worker (see m_workers).
        job.send = [&port](const unsigned char* b, int n, const platform::AbortSignal& abort) {
            port.Write(b, static_cast<uint32_t>(n), -1, &abort);
            return !abort.IsRaised();
        };
    } else {
        job.chunk = NETWORK_SEND_CHUNK;
        // The sending link has its notifications off, so a device that closes it or resets it
        // shows only here. A send cut short by the abort is no loss.
        // On a Telnet link every data byte goes out escaped, in order with the console's own
        // commands, through the link's gate (which the worker shares, so it outlives the link).
        std::shared_ptr<LinkSendGate> gate = m_net.SendGate();
        platform::ITrafficObserver* traffic = m_net.Traffic().Get();
        // Over UDP each chunk is one datagram, paced to the serial line's byte rate.
        std::shared_ptr<DatagramPacer> pacer;
        if (m_net.Udp()) {
            std::optional<sockaddr_in> to;
            std::string senderAddress;
            unsigned senderPort = 0;
            if (m_net.ServerMode() && link->LastSender(&senderAddress, &senderPort)) {
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(static_cast<uint16_t>(senderPort));
                inet_pton(AF_INET, senderAddress.c_str(), &a.sin_addr);
                to = a;
            }
            LineSettings line = m_serial.Settings();
            if (m_serial.AppliedBaud() != 0)
                line.baud = m_serial.AppliedBaud();
            const double rate = m_settings.udpBytesPerSecond >= 0
                                    ? m_settings.udpBytesPerSecond
                                    : static_cast<double>(line.baud) / line.FrameBits();
            pacer = std::make_shared<DatagramPacer>(netFd->fd, rate, to);
            job.chunk = UDP_SEND_CHUNK;
        }
        const unsigned udpPort = m_net.Port();
        job.send = [this, netFd, gate, pacer, traffic, run, udpPort](
                       const unsigned char* b, int n, const platform::AbortSignal& abort) {
            int err = 0;
            int sent = 0;
            if (pacer) {
                err = pacer->Send(b, n, abort, traffic);
                sent = err == 0 ? n : 0;
            } else {
                sent = gate ? gate->SendData(netFd->fd, b, n, abort, &err)
                            : platform::SendAllOnSocket(netFd->fd, b, n, abort, &err, traffic);
            }
            if (sent == n)
                return true;
            if (err != ECANCELED) {
                const std::string reason =
                    pacer && err == ECONNREFUSED
                        ? "the device does not listen on UDP port " + std::to_string(udpPort)
                        : std::strerror(err);
                QMetaObject::invokeMethod(
                    this,
                    [this, run, reason] {
                        if (m_nRun.load() == run)
                            EndOnLinkLost("network link failed (" + reason + ")",
                                          "Sending the file on the network link failed: " + reason);
                    },
                    Qt::QueuedConnection);
            }
            return false;
        };
        job.sentAll = [this, run] {
            QMetaObject::invokeMethod(
                this,
                [this, run] {
                    if (m_nRun.load() != run || m_state == RunState::Idle || !m_run.sendingLink)
                        return;
                    // The device has every byte: the link going from now on no longer ends the
                    // run, and it goes back to notifications now rather than when the run ends,
                    // so a device that closes or resets it is told at once.
                    m_run.fileSentOnNet = true;
                    ReleaseSendingLink();
                },
                Qt::QueuedConnection);
        };
        link->SetBlocking(true);
        m_run.sendingLink = link;
    }
    // Armed before the worker starts: with no start delay its header may pass through the device
    // and arrive before the UI thread gets back here.
    m_nActiveRun = run;
    m_state = RunState::Running;
    capturing.capture.ArmCapture(name, m_settings.outputDir, m_settings.clock, std::move(compare),
                                 run);
    LinkOf(direction == PassDirection::SerialToNet ? CaptureLink::Serial : CaptureLink::Network)
        .capture.ResetCapture();
    if (!m_workers.Start(run, std::move(job))) {
        // Nothing was sent: the run never was.
        m_nActiveRun = 0;
        m_state = RunState::Idle;
        m_pSerialLink->capture.ResetCapture();
        m_pNetLink->capture.ResetCapture();
        ReleaseSendingLink();
        return Result::Fail("Can't start the file send",
                            "The system could not start a thread for sending the file (" +
                                std::string(std::strerror(EAGAIN)) + ").",
                            EAGAIN);
    }
    return Result::Ok();
}

void PassThrough::Cancel() {
    // A run whose capture has ended and whose end is still in its pause ends as it was going to.
    if (m_state == RunState::Ending) {
        EndRun(m_run.pendingEnd);
        return;
    }
    if (m_nActiveRun.exchange(0) != 0)
        DiscardSerialOutput();
    EndRun(OutcomeOf(PassOutcome::End::Cancelled));
}

// A serial write returns once its bytes are in the kernel's output queue, not when they have
// left the line: on a slow UART up to a queue's worth (about 4 KB, seconds of data) would keep
// going out after the run ended. At most the chunk being written goes out.
void PassThrough::DiscardSerialOutput() {
    if (m_run.workerOnSerial && m_workers.Running() && m_serial.IsOpen())
        m_serial.Port().Device().PurgeComm(platform::PURGE_TXCLEAR);
}

void PassThrough::EndRun(const PassOutcome& outcome) {
    if (m_state == RunState::Idle)
        return;
    m_state = RunState::Idle;
    m_nActiveRun = 0;
    m_endTimer.stop();
    m_workers.Stop(m_nRun.load());
    emit finished(outcome);
}

void PassThrough::EndAfterPause(const PassOutcome& outcome, int pauseMs) {
    if (m_state != RunState::Running)
        return;
    m_state = RunState::Ending;
    m_run.pendingEnd = outcome;
    m_endTimer.start(pauseMs);
}

PassThrough::Link& PassThrough::LinkOf(CaptureLink link) const {
    return link == CaptureLink::Serial ? *m_pSerialLink : *m_pNetLink;
}

PassThrough::Link& PassThrough::CapturingLink() const {
    return m_run.direction == PassDirection::SerialToNet ? *m_pNetLink : *m_pSerialLink;
}

void PassThrough::StopTimeouts() {
    m_pSerialLink->timeout.Stop();
    m_pNetLink->timeout.Stop();
}

bool PassThrough::IsTimerRunning(CaptureLink link) const {
    return LinkOf(link).timeout.IsRunning();
}

bool PassThrough::IsCaptureArmed(bool serialLink) const {
    return LinkOf(serialLink ? CaptureLink::Serial : CaptureLink::Network).Armed();
}

void PassThrough::OnTimeout(CaptureLink link) {
    CaptureTally tally;
    CCaptureFields& capture = LinkOf(link).capture;
    if (capture.m_bCaptureArmed.load())
        tally = capture.ResetCapture();
    const bool wasActive = m_nActiveRun.exchange(0) != 0;
    if (wasActive)
        DiscardSerialOutput();
    emit timedOut(link, wasActive);
    if (wasActive) {
        PassOutcome out = OutcomeOf(PassOutcome::End::TimedOut, &tally);
        Diagnose(out, tally.path);
        EndRun(out);
    }
}

void PassThrough::OnWorkerEnded(uint64_t run, const SendResult& result) {
    if (run != m_nRun.load())
        return;
    ReleaseSendingLink();
    if (result.end == SendResult::End::OpenFailed) {
        emit sendFailed(QStringLiteral("Can't open file"), QString::fromStdString(result.why));
    } else if (result.end == SendResult::End::ReadFailed && m_state == RunState::Running) {
        m_nActiveRun = 0;
        DiscardSerialOutput();
        StopTimeouts();
        const CaptureTally tally = CapturingLink().capture.ResetCapture();
        PassOutcome out = OutcomeOf(PassOutcome::End::ReadFailed, &tally);
        out.text = "Can't read the file";
        out.detail = "Reading the file being sent failed: " + result.why + "; " +
                     std::to_string(out.stored) + " of " + std::to_string(out.sent) +
                     " bytes were stored.";
        EndRun(out);
    }
}

void PassThrough::ReleaseSendingLink() {
    if (m_run.sendingLink && m_run.sendingLink == m_net.LinkInUse())
        m_run.sendingLink->SetBlocking(false);
    m_run.sendingLink = nullptr;
}

void PassThrough::OnLinkGoing(CLinkSocket* link) {
    if (link == m_run.sendingLink) {
        m_workers.Abort(m_nRun.load());
        m_run.sendingLink = nullptr;
    }
    // The capture of a link that goes keeps no file open. What it had stored is kept for the
    // peerGone that follows (see EndOnLinkLost).
    if (link == m_net.LinkInUse()) {
        const CaptureTally tally = m_pNetLink->capture.ResetCapture();
        if (m_state == RunState::Running && m_nActiveRun.load() != 0 &&
            m_run.direction == PassDirection::SerialToNet)
            m_run.netGoneTally = tally;
    }
}

PassOutcome PassThrough::OutcomeOf(PassOutcome::End end, const CaptureTally* tally) const {
    PassOutcome out;
    out.end = end;
    out.direction = m_run.direction;
    if (!tally)
        return out;
    out.announced = tally->announced;
    out.stored = tally->stored;
    out.sent = m_run.sentSize;
    out.firstMismatch = tally->firstMismatch;
    const int64_t left = m_run.headerLeftNs->load();
    if (tally->stored > 0 && left != 0) {
        const int64_t ns = SteadyNs(tally->lastStored) - left;
        out.seconds = ns > 0 ? static_cast<double>(ns) / 1e9 : 0.0;
        if (out.seconds > 0)
            out.bytesPerSecond = static_cast<double>(tally->stored) / out.seconds;
    }
    return out;
}

void PassThrough::Diagnose(PassOutcome& out, const std::string& storedPath) const {
    if (!(out.Mismatch() || out.Short()) || out.stored <= 0 || storedPath.empty() ||
        m_run.sendPath.empty())
        return;
    // A short capture equal as far as it goes differs where it ends.
    out.diagnosis = DiagnoseFiles(m_run.sendPath, storedPath,
                                  out.firstMismatch.value_or(std::min(out.stored, out.sent)));
}

void PassThrough::EndOnLinkLost(const std::string& why, const std::string& what) {
    // The exchange decides against a capture completing on the receive thread at this moment.
    if (m_state != RunState::Running || m_nActiveRun.exchange(0) == 0)
        return;
    DiscardSerialOutput();
    // Nothing the worker still sends can count now: it is cut short at once, even inside a
    // write that waits for room, rather than after its current chunk.
    m_workers.Abort(m_nRun.load());
    StopTimeouts();
    const CaptureTally net =
        m_run.netGoneTally ? *m_run.netGoneTally : m_pNetLink->capture.ResetCapture();
    const CaptureTally serial = m_pSerialLink->capture.ResetCapture();
    m_run.netGoneTally.reset();
    const CaptureTally& tally = m_run.direction == PassDirection::SerialToNet ? net : serial;
    PassOutcome out = OutcomeOf(PassOutcome::End::LinkLost, &tally);
    // The link going down explains where a short capture ends; only a difference inside what
    // did arrive is worth a diagnosis.
    if (out.firstMismatch)
        Diagnose(out, tally.path);
    out.text = "Link lost : " + why;
    out.detail = what + "; " + std::to_string(out.stored) + " of " + std::to_string(out.sent) +
                 " bytes were stored.";
    // Told from the event loop, like every end: after whatever else the lost link set off (the
    // window's own handling of a closed link).
    EndAfterPause(out, 0);
}
