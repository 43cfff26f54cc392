#include "transfer/PassThrough.h"

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
    void StartTimeout(int timerId) override {
        platform::SetTimer(&m_pt, timerId, CAPTURE_TIMEOUT_MS);
    }
    void StopTimeout(int timerId) override { platform::KillTimer(&m_pt, timerId); }
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
                out.detail = "The file was not stored: " + path + "\n" + why;
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
    m_pendingEnd = PassOutcome{};
    m_bTransferActive = 1;
    m_bRunOpen = true;

    SendFileJob job;
    job.path = path;
    job.waitStartDelay = [this, run] { return WaitStartDelay(run); };
    job.mayStart = [this, run] { return m_nRun.load() == run && !m_bStopWorker.load(); };
    job.keepGoing = [this, run] {
        return m_bTransferActive.load() != 0 && m_nRun.load() == run && !m_bStopWorker.load();
    };
    if (direction == PassDirection::SerialToNet) {
        m_netCapture.ArmCapture(name, m_strOutputDir, m_clock);
        m_serialCapture.ResetCapture();
        CSerialPort& port = m_serial.Port();
        job.chunk = SERIAL_SEND_CHUNK;
        job.yieldAfterChunk = true;
        job.send = [&port](const unsigned char* b, int n) {
            port.Write(b, static_cast<uint32_t>(n));
        };
        m_bWorkerOnSerial = true;
        m_pWorkerLink = nullptr;
    } else {
        link->SetBlocking(true);
        m_serialCapture.ArmCapture(name, m_strOutputDir, m_clock);
        m_netCapture.ResetCapture();
        job.chunk = NETWORK_SEND_CHUNK;
        job.send = [link](const unsigned char* b, int n) { link->Send(b, n, 0); };
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

void PassThrough::StopTimeouts() {
    platform::KillTimer(this, IDT_SERIAL_TIMEOUT);
    platform::KillTimer(this, IDT_NETWORK_TIMEOUT);
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
    platform::KillTimer(this, timerId);
    if (timerId == IDT_SERIAL_TIMEOUT) {
        if (m_serialCapture.m_bCaptureArmed.load())
            m_serialCapture.ResetCapture();
    } else if (timerId == IDT_NETWORK_TIMEOUT) {
        if (m_netCapture.m_bCaptureArmed.load())
            m_netCapture.ResetCapture();
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
        EndRun(out);
    }
}

void PassThrough::OnLinkGoing(CLinkSocket* link) {
    if (link == m_pWorkerLink) {
        JoinWorker(SEND_WORKER_GRACE_MS);
        m_pWorkerLink = nullptr;
    }
    // The capture of a link that goes keeps no file open; the run goes on until it is
    // cancelled or times out.
    if (link == m_net.LinkInUse())
        m_netCapture.ResetCapture();
}
