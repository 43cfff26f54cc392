#include "transfer/PassThrough.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <system_error>

#include "net/NetConsole.h"
#include "platform/File.h"
#include "platform/Window.h"
#include "serial/SerialConsole.h"

using platform::Result;

namespace {

std::string BytesText(int64_t size) {
    return std::to_string(size) + " bytes";
}

int64_t SteadyNs(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

// The pass-through as the capture of one link sees it. The serial capture runs on the port's
// receive thread: its progress and its end are handed to the UI thread synchronously through the
// port's channel (which closing the port shuts down, so the hand-over never deadlocks with a UI
// thread that waits for the receive thread). On the UI thread the channel runs them at once.
class PassThrough::LinkHost : public ICaptureHost {
public:
    LinkHost(PassThrough& pt, bool serial) : m_pt(pt), m_serial(serial) {}

    bool IsTransferActive() override { return m_pt.m_bTransferActive.load() != 0; }
    void ClearTransferActive() override { m_pt.m_bTransferActive = 0; }
    void ConsoleAppend(const unsigned char* bytes, int n) override {
        (m_serial ? m_pt.m_serial.Ring() : m_pt.m_net.Ring()).Put(bytes, n);
    }
    void ConsoleNotify() override {
        if (m_serial)
            m_pt.m_serial.NotifyReceived();  // queued to the window by its connection
        else
            emit m_pt.m_net.received();
    }
    void StartTimeout(int timerId) override { m_pt.RestartTimeout(timerId); }
    void StopTimeout(int timerId) override { m_pt.StopTimeout(timerId); }
    // Told on the capture's thread just before CaptureEnded.
    void CaptureTallied(const CaptureTally& tally) override { m_tally = tally; }
    // Whoever shows the progress decides whether it is up; the capture always tells.
    bool ProgressVisible() override { return true; }
    void ProgressSetRange() override {
        OnUi([this] { emit m_pt.progressRange(0, 100); });
    }
    void ProgressSetText(const std::string& text) override {
        OnUi([this, &text] { emit m_pt.progressText(QString::fromStdString(text)); });
    }
    void ProgressSetPos(int percent) override {
        OnUi([this, percent] { emit m_pt.progressPos(percent); });
    }
    void CaptureEnded(CaptureEnd how, const std::string& path, const std::string& why) override {
        PassOutcome out;
        out.direction = m_serial ? PassDirection::NetToSerial : PassDirection::SerialToNet;
        out.path = path;
        m_pt.ApplyTally(out, m_tally);
        switch (how) {
            case CaptureEnd::Completed:
                out.end = PassOutcome::End::Completed;
                break;
            case CaptureEnd::Rejected:
                out.end = PassOutcome::End::Rejected;
                break;
            case CaptureEnd::Cancelled:
                out.end = PassOutcome::End::Cancelled;
                break;
            case CaptureEnd::OpenFailed:
            case CaptureEnd::WriteFailed:
                out.end = how == CaptureEnd::OpenFailed ? PassOutcome::End::OpenFailed
                                                        : PassOutcome::End::WriteFailed;
                out.text = how == CaptureEnd::OpenFailed ? "Can't create the received file"
                                                         : "Can't write the received file";
                // A failed write leaves the bytes stored until then: the detail says so, as a
                // time-out's short capture does, instead of claiming nothing was stored.
                out.detail = how == CaptureEnd::OpenFailed
                                 ? "The file was not stored: " + path + "\n" + why
                                 : "incomplete: " + std::to_string(out.stored) + " of " +
                                       std::to_string(out.announced) + " bytes stored at " +
                                       path + "\n" + why;
                break;
        }
        OnUi([this, &out] { m_pt.m_pendingEnd = out; });
    }
    // The pause and the close request that end every capture: a timer on the UI thread.
    void ProgressClose() override {
        OnUi([this] { m_pt.m_endTimer.start(END_PAUSE_MS); });
    }

private:
    void OnUi(const std::function<void()>& fn) {
        if (m_serial)
            m_pt.m_serial.UiChannel().Send(fn);
        else
            fn();
    }

    PassThrough& m_pt;
    bool m_serial;
    CaptureTally m_tally;
};

// Hands a link's received chunks to its capture while it is armed.
class PassThrough::LinkTap : public IReceiveTap {
public:
    LinkTap(CCaptureFields& capture, const CCaptureLinkTraits& traits, ICaptureHost& host)
        : m_capture(capture), m_traits(traits), m_host(host) {}
    bool Armed() const override { return m_capture.m_bCaptureArmed.load() == 1; }
    void Chunk(const unsigned char* bytes, int n) override {
        CaptureStep(m_capture, m_traits, m_host, bytes, n);
    }

private:
    CCaptureFields& m_capture;
    const CCaptureLinkTraits& m_traits;
    ICaptureHost& m_host;
};

PassThrough::PassThrough(SerialConsole& serial, NetConsole& net, QObject* parent)
    : QObject(parent),
      m_serial(serial),
      m_net(net),
      m_pSerialHost(std::make_unique<LinkHost>(*this, true)),
      m_pNetHost(std::make_unique<LinkHost>(*this, false)),
      m_pSerialTap(
          std::make_unique<LinkTap>(m_serialCapture, g_serialCaptureTraits, *m_pSerialHost)),
      m_pNetTap(std::make_unique<LinkTap>(m_netCapture, g_networkCaptureTraits, *m_pNetHost)) {
    qRegisterMetaType<PassOutcome>();
    m_endTimer.setSingleShot(true);
    connect(&m_endTimer, &QTimer::timeout, this, [this] {
        emit closeRequested();
        EndRun(m_pendingEnd);
    });
    m_serial.SetCaptureTap(m_pSerialTap.get());
    m_net.SetCaptureTap(m_pNetTap.get());
    // A worker on a port that closes, or on a link that goes, lets go of it first.
    connect(&m_serial, &SerialConsole::aboutToClose, this, [this] {
        if (m_bWorkerOnSerial)
            JoinWorker(0);
    });
    connect(&m_net, &NetConsole::linkGoing, this, &PassThrough::OnLinkGoing);
    // A link lost while the file is under way ends the run at once: nothing more can arrive.
    connect(&m_net, &NetConsole::farEndClosed, this, [this] {
        if (m_bFileSentOnNet)
            return;
        EndOnLinkLost("network peer closed the connection",
                      "The device at " + m_net.Address() + ":" + std::to_string(m_net.Port()) +
                          " closed the network connection during the transfer");
    });
    connect(&m_net, &NetConsole::peerGone, this, [this] {
        if (m_bFileSentOnNet)
            return;
        EndOnLinkLost("network peer disconnected from the server",
                      "The device connected to port " + std::to_string(m_net.Port()) +
                          " (Server Mode) left during the transfer");
    });
    connect(&m_serial, &SerialConsole::portLost, this, [this](const QString& reason) {
        EndOnLinkLost("serial port lost (" + reason.toStdString() + ")",
                      "The serial port " + m_serial.PortName() +
                          " was lost during the transfer: " + reason.toStdString());
    });
}

PassThrough::~PassThrough() {
    ++m_nRun;
    JoinWorker(0);
    m_serial.SetCaptureTap(nullptr);
    m_net.SetCaptureTap(nullptr);
    m_serialCapture.ResetCapture();
    m_netCapture.ResetCapture();
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

    // A time-out left running by an earlier, cancelled transfer must not end this one, and a
    // worker of an earlier run never sends another byte: it is superseded, then joined.
    StopTimeouts();
    ++m_nRun;
    JoinWorker(SEND_WORKER_GRACE_MS);

    const uint64_t run = m_nRun.load();
    m_strSendFileName = name;
    m_direction = direction;
    // The end of an earlier run that is still being told must not end this one.
    m_endTimer.stop();
    m_pendingEnd = PassOutcome{};
    m_nSentSize = compare->SourceSize();
    m_nHeaderLeftNs = 0;
    m_netGoneTally.reset();
    m_bFileSentOnNet = false;
    m_bTransferActive = 1;
    m_bRunOpen = true;

    SendFileJob job;
    job.path = path;
    job.waitStartDelay = [this, run] { return WaitStartDelay(run); };
    job.mayStart = [this, run] { return m_nRun.load() == run && !m_bStopWorker.load(); };
    job.keepGoing = [this, run] {
        return m_bTransferActive.load() != 0 && m_nRun.load() == run && !m_bStopWorker.load();
    };
    const int captureTimer =
        direction == PassDirection::SerialToNet ? IDT_NETWORK_TIMEOUT : IDT_SERIAL_TIMEOUT;
    job.headerLeaving = [this, run, captureTimer] {
        m_nHeaderLeftNs = SteadyNs(std::chrono::steady_clock::now());
        if (!m_bTimeoutFromHeader)
            return;
        // Timers belong to the UI thread. A capture that has already restarted its time-out (or
        // has ended) is left alone.
        QMetaObject::invokeMethod(
            this,
            [this, run, captureTimer] {
                if (m_nRun.load() == run && m_bTransferActive.load() != 0 &&
                    !IsTimerRunning(captureTimer))
                    RestartTimeout(captureTimer);
            },
            Qt::QueuedConnection);
    };
    if (direction == PassDirection::SerialToNet) {
        m_netCapture.ArmCapture(name, m_strOutputDir, m_clock, std::move(compare));
        m_serialCapture.ResetCapture();
        CSerialPort& port = m_serial.Port();
        job.chunk = SERIAL_SEND_CHUNK;
        job.yieldAfterChunk = true;
        // A port that is lost reports itself (SerialConsole::portLost); the worker goes on.
        job.send = [&port](const unsigned char* b, int n) {
            port.Write(b, static_cast<uint32_t>(n));
            return true;
        };
        m_bWorkerOnSerial = true;
        m_pWorkerLink = nullptr;
    } else {
        link->SetBlocking(true);
        m_serialCapture.ArmCapture(name, m_strOutputDir, m_clock, std::move(compare));
        m_netCapture.ResetCapture();
        job.chunk = NETWORK_SEND_CHUNK;
        // The sending link has its notifications off, so a device that closes it or resets it
        // shows only here. A send cut short by JoinWorker (ECANCELED) is no loss.
        job.send = [this, link, run](const unsigned char* b, int n) {
            if (link->Send(b, n, 0) == n)
                return true;
            if (link->LastErrno() != ECANCELED) {
                const std::string reason = link->LastError();
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
                this, [this, run] { OnNetFileSent(run); }, Qt::QueuedConnection);
        };
        m_bWorkerOnSerial = false;
        m_pWorkerLink = link;
    }
    // A worker that cannot be created is reported by nothing: the run goes on until it is
    // cancelled or times out, as when the device passes nothing through.
    StartWorker(std::move(job));
    return Result::Ok();
}

bool PassThrough::StartWorker(SendFileJob job) {
    m_bStopWorker = false;
    m_bWorkerRunning = true;
    try {
        m_worker = std::thread([this, job = std::move(job)] {
            std::string error;
            if (!SendFileWorker(job, &error)) {
                const QString detail = QString::fromStdString(error);
                QMetaObject::invokeMethod(
                    this,
                    [this, detail] { emit sendFailed(QStringLiteral("Can't open file"), detail); },
                    Qt::QueuedConnection);
            }
            m_bWorkerRunning = false;
        });
    } catch (const std::system_error&) {
        m_bWorkerRunning = false;
        return false;
    }
    return true;
}

bool PassThrough::WaitStartDelay(uint64_t run) {
    std::unique_lock lock(m_wakeLock);
    return !m_wake.wait_for(lock, std::chrono::milliseconds(m_nStartDelayMs),
                            [this, run] { return m_nRun.load() != run || m_bStopWorker.load(); });
}

void PassThrough::JoinWorker(int graceMs) {
    if (!m_worker.joinable())
        return;
    {
        // A worker still in its start delay for a superseded run ends at once.
        std::lock_guard lock(m_wakeLock);
        m_wake.notify_all();
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    while (m_bWorkerRunning.load() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Still running: most likely blocked in a send that the far side does not take (a peer that
    // does not read, a serial line held by XOFF or CTS). Cut that send and every later one short.
    const bool abort = m_bWorkerRunning.load();
    if (abort) {
        {
            std::lock_guard lock(m_wakeLock);
            m_bStopWorker = true;
            m_wake.notify_all();
        }
        if (m_bWorkerOnSerial)
            m_serial.Port().Device().AbortWrites();
        else if (m_pWorkerLink)
            m_pWorkerLink->AbortSend();
    }
    m_worker.join();
    if (abort) {
        if (m_bWorkerOnSerial)
            m_serial.Port().Device().ResumeWrites();
        else if (m_pWorkerLink)
            m_pWorkerLink->AbortSend(false);
    }
    m_bStopWorker = false;
}

void PassThrough::Cancel() {
    const bool wasActive = m_bTransferActive.exchange(0) != 0;
    if (wasActive)
        DiscardSerialOutput();
    PassOutcome out;
    out.end = PassOutcome::End::Cancelled;
    out.direction = m_direction;
    EndRun(out);
}

void PassThrough::Finish() {
    m_bTransferActive = 0;
    // Back to notifications only once the worker has finished its last send, so the mode switch
    // never disturbs a send in progress. Bytes that came meanwhile are notified now.
    if (!m_bWorkerOnSerial && m_pWorkerLink && m_pWorkerLink == m_net.LinkInUse()) {
        CLinkSocket* link = m_pWorkerLink;
        JoinWorker(SEND_WORKER_GRACE_MS);
        link->SetBlocking(false);
    }
    if (m_bRunOpen) {
        PassOutcome out;
        out.direction = m_direction;
        // A run whose end is still in its pause ends as it was going to.
        if (m_endTimer.isActive()) {
            m_endTimer.stop();
            out = m_pendingEnd;
        }
        EndRun(out);
    }
}

// A serial write returns once its bytes are in the kernel's output queue, not when they have
// left the line: on a slow UART up to a queue's worth (about 4 KB, seconds of data) would keep
// going out after the run ended. At most the chunk being written goes out.
void PassThrough::DiscardSerialOutput() {
    if (m_bWorkerOnSerial && m_bWorkerRunning.load() && m_serial.IsOpen())
        m_serial.Port().Device().PurgeComm(platform::PURGE_TXCLEAR);
}

void PassThrough::EndRun(const PassOutcome& outcome) {
    if (!m_bRunOpen)
        return;
    m_bRunOpen = false;
    emit finished(outcome);
}

namespace {
int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
int TimerIndex(int timerId) {
    return timerId == IDT_SERIAL_TIMEOUT ? 0 : 1;
}
}  // namespace

// A capture restarts its time-out with every chunk, tens of thousands of times a second at full
// speed. Restarting a window timer each time costs the UI thread more than the chunk itself, so
// a chunk only notes its time; the timer, started once, looks at that time when it fires and
// waits the rest of the period if a chunk came meanwhile. Any thread.
void PassThrough::RestartTimeout(int timerId) {
    const int k = TimerIndex(timerId);
    m_nLastChunkMs[k].store(NowMs());
    if (!m_bTimerArmed[k].exchange(true))
        platform::SetTimer(this, timerId, CAPTURE_TIMEOUT_MS);
}

void PassThrough::StopTimeout(int timerId) {
    m_bTimerArmed[TimerIndex(timerId)].store(false);
    platform::KillTimer(this, timerId);
}

void PassThrough::StopTimeouts() {
    StopTimeout(IDT_SERIAL_TIMEOUT);
    StopTimeout(IDT_NETWORK_TIMEOUT);
}

bool PassThrough::IsTimerRunning(int timerId) const {
    return platform::IsTimerRunning(const_cast<PassThrough*>(this), timerId);
}

bool PassThrough::event(QEvent* e) {
    if (e->type() == platform::CMessageEvent::Type()) {
        auto* msg = static_cast<platform::CMessageEvent*>(e);
        if (msg->m_message == WM_TIMER)
            OnTimeout(static_cast<int>(msg->m_wParam));
        return true;
    }
    return QObject::event(e);
}

void PassThrough::OnTimeout(int timerId) {
    if (timerId == IDT_SERIAL_TIMEOUT || timerId == IDT_NETWORK_TIMEOUT) {
        const int k = TimerIndex(timerId);
        const int64_t quiet = NowMs() - m_nLastChunkMs[k].load();
        if (m_bTimerArmed[k].load() && quiet < CAPTURE_TIMEOUT_MS) {
            platform::SetTimer(this, timerId, static_cast<int>(CAPTURE_TIMEOUT_MS - quiet));
            return;  // a chunk came within the period: wait for the rest of it
        }
        m_bTimerArmed[k].store(false);
    }
    platform::KillTimer(this, timerId);
    CaptureTally tally;
    if (timerId == IDT_SERIAL_TIMEOUT) {
        if (m_serialCapture.m_bCaptureArmed.load())
            tally = m_serialCapture.ResetCapture();
    } else if (timerId == IDT_NETWORK_TIMEOUT) {
        if (m_netCapture.m_bCaptureArmed.load())
            tally = m_netCapture.ResetCapture();
    } else {
        return;
    }
    const bool wasActive = m_bTransferActive.exchange(0) != 0;
    if (wasActive)
        DiscardSerialOutput();
    emit timedOut(timerId, wasActive);
    if (wasActive) {
        PassOutcome out;
        out.end = PassOutcome::End::TimedOut;
        out.direction = m_direction;
        ApplyTally(out, tally);
        EndRun(out);
    }
}

void PassThrough::OnLinkGoing(CLinkSocket* link) {
    if (link == m_pWorkerLink) {
        JoinWorker(SEND_WORKER_GRACE_MS);
        m_pWorkerLink = nullptr;
    }
    // The capture of a link that goes keeps no file open. What it had stored is kept for the
    // peerGone that follows (see EndOnLinkLost).
    if (link == m_net.LinkInUse()) {
        const CaptureTally tally = m_netCapture.ResetCapture();
        if (m_bRunOpen && m_bTransferActive.load() != 0 &&
            m_direction == PassDirection::SerialToNet)
            m_netGoneTally = tally;
    }
}

void PassThrough::OnNetFileSent(uint64_t run) {
    if (m_nRun.load() != run || !m_bRunOpen || m_bWorkerOnSerial || !m_pWorkerLink ||
        m_pWorkerLink != m_net.LinkInUse())
        return;
    m_bFileSentOnNet = true;
    // The link goes back to notifications now rather than when the run is finished: a device
    // that closes or resets it while its serial side is still passing the file is told at once,
    // and bytes it sends meanwhile reach the console. The worker is past its last send.
    CLinkSocket* link = m_pWorkerLink;
    JoinWorker(SEND_WORKER_GRACE_MS);
    link->SetBlocking(false);
    m_pWorkerLink = nullptr;
}

void PassThrough::ApplyTally(PassOutcome& out, const CaptureTally& tally) const {
    out.announced = tally.announced;
    out.stored = tally.stored;
    out.sent = m_nSentSize;
    out.firstMismatch = tally.firstMismatch;
    const int64_t left = m_nHeaderLeftNs.load();
    if (tally.stored > 0 && left != 0) {
        const int64_t ns = SteadyNs(tally.lastStored) - left;
        out.seconds = ns > 0 ? static_cast<double>(ns) / 1e9 : 0.0;
        if (out.seconds > 0)
            out.bytesPerSecond = static_cast<double>(tally.stored) / out.seconds;
    }
}

void PassThrough::EndOnLinkLost(const std::string& why, const std::string& what) {
    // The exchange decides against a capture completing on the receive thread at this moment.
    if (!m_bRunOpen || m_bTransferActive.exchange(0) == 0)
        return;
    DiscardSerialOutput();
    StopTimeouts();
    const CaptureTally net = m_netGoneTally ? *m_netGoneTally : m_netCapture.ResetCapture();
    const CaptureTally serial = m_serialCapture.ResetCapture();
    m_netGoneTally.reset();
    PassOutcome out;
    out.end = PassOutcome::End::LinkLost;
    out.direction = m_direction;
    ApplyTally(out, m_direction == PassDirection::SerialToNet ? net : serial);
    out.text = "Link lost : " + why;
    out.detail = what + "; " + std::to_string(out.stored) + " of " + std::to_string(out.sent) +
                 " bytes were stored.";
    // Told from the event loop, like every end: after whatever else the lost link set off (the
    // window's own handling of a closed link).
    m_pendingEnd = out;
    m_endTimer.start(0);
}
