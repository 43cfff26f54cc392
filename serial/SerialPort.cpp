#include "serial/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "display/RingBuffer.h"
#include "platform/Retirer.h"

using namespace platform;

namespace {
constexpr uint32_t PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
}  // namespace

uint32_t WriteMultiplierForBaud(uint32_t baud) {
    // A rate of 0 cannot come from the lists; it gets no limit rather than a division by zero.
    return baud == 0 ? 0 : 19200 / baud;
}

SerialReceiveSide::SerialReceiveSide(const platform::CSerialDevice& port, std::string portName,
                                     ISerialReceiver* receiver, platform::TrafficSlot* traffic)
    : m_strPortName(std::move(portName)), m_pReceiver(receiver), m_pTraffic(traffic) {
    m_device.OpenDuplicate(port);  // a failure shows in the thread's set-up
}

void SerialReceiveSide::Shut() {
    {
        std::lock_guard gate(m_gate);
        m_bOpen = false;
    }
    m_device.Abort();
}

bool SerialReceiveSide::IsShut() const {
    std::lock_guard gate(m_gate);
    return !m_bOpen;
}

template <class Tell>
bool SerialReceiveSide::TellReceiver(Tell tell) {
    std::lock_guard gate(m_gate);
    if (!m_bOpen)
        return false;
    if (m_pReceiver)
        tell(*m_pReceiver);
    return true;
}

uint32_t SerialReceiveSide::Read(void* buf, uint32_t capacity) {
    if (m_device.QueuedInput() == 0)
        return 0;
    const int n = m_device.Read(buf, capacity);
    if (n < 0)
        m_nReadErrno = errno;
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t SerialReceiveSide::DrainReceiveEvent() {
    unsigned char buf[SERIAL_READ_CHUNK];
    uint32_t total = 0;
    // Until a read takes less than a chunk: it took everything queued, and asking again would
    // only be told "nothing" (what arrives meanwhile ends the next wait at once). A port being
    // closed stops early, so that a device that never stops sending cannot hold up Close. Each
    // chunk is read and handed on under the gate: after Close nothing is read that a later open
    // of the port should get, and nothing reaches the console.
    for (;;) {
        std::lock_guard gate(m_gate);
        if (!m_bOpen)
            return total;
        const uint32_t n = Read(buf, SERIAL_READ_CHUNK);
        if (n == 0)
            break;
        const platform::Stamp at = platform::Stamp::Now();
        total += n;
        if (m_pTraffic)
            m_pTraffic->Report(platform::TrafficKind::SerialRx, at, buf, n);
        if (m_pReceiver && m_pReceiver->CaptureArmed())
            m_pReceiver->CaptureSerialChunk(buf, static_cast<int>(n));
        else if (m_pReceiver)
            m_pReceiver->SerialRing().Put(buf, static_cast<int>(n), at);
        if (n < SERIAL_READ_CHUNK)
            break;
    }
    // One notification per receive event, however many chunks it took; while capture is armed
    // the capture step notifies the window itself.
    if (total > 0)
        TellReceiver([](ISerialReceiver& r) {
            if (!r.CaptureArmed())
                r.PostCommRead();
        });
    return total;
}

CSerialPort::CSerialPort(ISerialReceiver* receiver) : m_pReceiver(receiver) {}

CSerialPort::~CSerialPort() {
    // No thread may outlive the object whose fields it uses.
    Close();
}

int CSerialPort::Open(std::string portName, const LineSettings& settings) {
    // A previous open's receive thread is shut and handed on by Close; one that is still
    // ending reads through a descriptor of its own, never this open's.
    if (m_bOpen.load() != 0)
        Close();
    EndReceiveThread();

    m_strPortName = std::move(portName);
    m_strLastHint.clear();
    if (const Result valid = settings.Validate(); !valid) {
        m_strLastError = m_strPortName + ": " + valid.text;
        m_nLastErrno = valid.error;
        return 0;
    }
    if (!m_hPort.Open(m_strPortName)) {
        m_strLastError = m_hPort.LastError();
        m_nLastErrno = m_hPort.LastErrno();
        m_strLastHint = m_hPort.Hint();
        return 0;
    }

    // The kernel's queues have fixed sizes; what is queued from an earlier use is dropped.
    m_hPort.PurgeComm(PURGE_ALL);
    m_nWriteMsPerByte.store(WriteMultiplierForBaud(settings.baud));
    if (const Result r = ApplySettings(settings); !r) {
        m_strLastError = r.reason;
        m_nLastErrno = r.error;
        m_hPort.Close();
        return 0;
    }
    m_nAppliedBaud = settings.baud;
    if (uint32_t applied = 0; platform::GetTtyBaud(m_hPort.Fd(), applied) == 0 && applied != 0)
        m_nAppliedBaud = applied;

    m_bOpen.store(1);
    auto side = std::make_shared<SerialReceiveSide>(m_hPort, m_strPortName, m_pReceiver,
                                                    &m_hPort.Traffic());
    side->m_bRunning.store(true);
    try {
        m_hReceiveThread = std::thread(&CSerialPort::ThreadWatchComm, side);
        m_pReceive = std::move(side);
    } catch (const std::system_error& e) {
        side->m_bRunning.store(false);
        m_strLastError = std::string("receive thread: ") + e.what();
        m_nLastErrno = e.code().value();
        Close();
        return 0;
    }
    m_strLastError.clear();
    m_nLastErrno = 0;
    return 1;
}

Result CSerialPort::ApplySettings(const LineSettings& s) {
    if (Result r = m_hPort.SetRaw(); !r)
        return r;
    if (Result r = m_hPort.SetBaud(s.baud); !r)
        return r;
    if (Result r = m_hPort.SetDataBits(s.dataBits); !r)
        return r;
    if (Result r = m_hPort.SetParity(s.parity); !r)
        return r;
    if (Result r = m_hPort.SetStopBits(s.stopBits); !r)
        return r;
    return m_hPort.SetFlowControl(s.flow);
}

void CSerialPort::Close() {
    m_bOpen.store(0);
    // The receive side first: once it is shut, its thread reads nothing more and tells the
    // receiver nothing, so the thread may end in its own time. Then any pending write ends.
    if (m_pReceive) {
        m_pReceive->Shut();
        m_pReceive.reset();
    }
    m_hPort.Abort();
    EndReceiveThread();
    // A writer that got past its m_bOpen test is busy until its aborted write returns.
    std::unique_lock lock(m_writeGate.lock);
    m_writeGate.freed.wait(lock, [this] { return !m_writeGate.busy; });
    m_hPort.PurgeComm(PURGE_ALL);
    m_hPort.Close();
}

void CSerialPort::EndReceiveThread() {
    if (!m_hReceiveThread.joinable() || m_hReceiveThread.get_id() == std::this_thread::get_id())
        return;
    if (m_pRetirer)
        m_pRetirer->Retire(std::move(m_hReceiveThread));
    else
        m_hReceiveThread.join();
}

uint32_t CSerialPort::Write(const void* buf, uint32_t length, int maxWaitMs,
                            const platform::AbortSignal* abort) {
    if (m_bOpen.load() == 0 || (abort && abort->IsRaised()))
        return 0;
    // One write completes before the next begins, so the bytes of two writers never interleave.
    const auto start = std::chrono::steady_clock::now();
    {
        std::unique_lock lock(m_writeGate.lock);
        const auto free = [this] { return !m_writeGate.busy; };
        if (maxWaitMs < 0) {
            m_writeGate.freed.wait(lock, free);
        } else if (!m_writeGate.freed.wait_until(lock, start + std::chrono::milliseconds(maxWaitMs),
                                                 free)) {
            return 0;  // another writer (a file-send worker) held the port all that time
        }
        m_writeGate.busy = true;
    }
    // Frees the gate however this returns.
    struct Release {
        WriteGate& gate;
        ~Release() {
            {
                std::lock_guard lock(gate.lock);
                gate.busy = false;
            }
            gate.freed.notify_all();
        }
    } release{m_writeGate};
    // Checked again under the lock: a writer whose abort was raised while it waited for the lock
    // (a superseded file-send worker) writes nothing more.
    if (m_bOpen.load() == 0 || length == 0 || (abort && abort->IsRaised()))
        return 0;
    // The line's own limit (a rate-dependent time per byte), then the caller's, the lower wins.
    const uint64_t perByte = m_nWriteMsPerByte.load();
    int64_t limitMs = perByte != 0 ? static_cast<int64_t>(perByte * length) : -1;
    if (maxWaitMs >= 0) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
        const int64_t left = std::max<int64_t>(0, maxWaitMs - waited);
        limitMs = limitMs < 0 ? left : std::min(limitMs, left);
    }
    const int written = m_hPort.Write(buf, length, limitMs, abort);
    return written > 0 ? static_cast<uint32_t>(written) : 0;
}

uint32_t CSerialPort::ThreadWatchComm(std::shared_ptr<SerialReceiveSide> side) {
    // The side is this thread's own (shared): nothing of the port is touched here, so the port
    // may close, open again or go while this thread is still ending.
    SerialReceiveSide& rx = *side;
    platform::CSerialDevice& device = rx.Device();
    if (!device.SetCommMask(EV_RXCHAR)) {
        // Reported without waiting for the user: the UI thread may be about to close the port.
        rx.TellReceiver([&](ISerialReceiver& r) {
            r.ReceiveThreadFailed("Error while creating ThreadWatchComm, " + rx.m_strPortName);
        });
        rx.m_bRunning.store(false);
        return 0;
    }
    rx.m_nReadErrno = 0;
    int hangups = 0;
    while (!rx.IsShut()) {
        uint32_t mask = 0;
        std::string lost;
        if (device.WaitCommEvent(mask)) {
            hangups = 0;
            if (mask & EV_RXCHAR)
                rx.DrainReceiveEvent();
            if (rx.m_nReadErrno == EIO)
                lost = std::string("device hung up (") + std::strerror(EIO) + ")";
        } else if (!device.HangupReason().empty()) {
            if (++hangups >= SERIAL_HANGUPS_BEFORE_LOST)
                lost = device.HangupReason();
        } else {
            hangups = 0;
        }
        if (!lost.empty()) {
            // Reported once; the thread then sleeps until Close() shuts the side, so a device
            // that is gone costs no CPU however long the owner takes to close the port.
            if (rx.TellReceiver([&](ISerialReceiver& r) { r.PortHungUp(lost); }))
                device.WaitForAbort();
            break;
        }
        std::this_thread::yield();
    }
    rx.m_bRunning.store(false);
    return 1;
}
