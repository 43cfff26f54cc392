#include "serial/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "display/RingBuffer.h"

using namespace platform;

namespace {
constexpr uint32_t PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
}  // namespace

uint32_t WriteMultiplierForBaud(uint32_t baud) {
    // A rate of 0 cannot come from the lists; it gets no limit rather than a division by zero.
    return baud == 0 ? 0 : 19200 / baud;
}

CSerialPort::CSerialPort(ISerialReceiver* receiver) : m_pReceiver(receiver) {}

CSerialPort::~CSerialPort() {
    // No thread may outlive the object whose fields it uses.
    Close();
}

int CSerialPort::Open(std::string portName, const LineSettings& settings) {
    // One port never has two receive threads: a previous one is finished (or finishing) when
    // the port is closed; wait for it before starting another.
    if (m_bOpen.load() != 0)
        Close();
    if (m_hReceiveThread.joinable() && m_hReceiveThread.get_id() != std::this_thread::get_id())
        m_hReceiveThread.join();

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
    m_hPort.SetCommMask(EV_RXCHAR);
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
    m_bReceiveThreadRunning.store(true);
    try {
        m_hReceiveThread = std::thread(&CSerialPort::ThreadWatchComm, this);
    } catch (const std::system_error& e) {
        m_bReceiveThreadRunning.store(false);
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
    // End the receive thread's wait and any pending write, so that the join and the lock below
    // are had promptly (the receive thread never waits for this thread).
    m_hPort.SetCommMask(0);
    m_hPort.Abort();
    if (m_hReceiveThread.joinable() && m_hReceiveThread.get_id() != std::this_thread::get_id())
        m_hReceiveThread.join();
    // A writer that got past its m_bOpen test holds the lock until its aborted write returns.
    std::lock_guard lock(m_writeLock);
    m_hPort.PurgeComm(PURGE_ALL);
    m_hPort.Close();
}

uint32_t CSerialPort::Write(const void* buf, uint32_t length, int maxWaitMs,
                            const platform::AbortSignal* abort) {
    if (m_bOpen.load() == 0 || (abort && abort->IsRaised()))
        return 0;
    // One write completes before the next begins, so the bytes of two writers never interleave.
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(m_writeLock, std::defer_lock);
    if (maxWaitMs < 0) {
        lock.lock();
    } else {
        // A bounded wait for another writer (a file-send worker). Polled with try_lock rather
        // than a timed mutex: libstdc++'s timed wait uses pthread_mutex_clocklock, which
        // ThreadSanitizer does not see, so every such unlock would be reported as wrong.
        const auto deadline = start + std::chrono::milliseconds(maxWaitMs);
        while (!lock.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
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

uint32_t CSerialPort::Read(void* buf, uint32_t capacity) {
    if (m_hPort.QueuedInput() == 0)
        return 0;
    const int n = m_hPort.Read(buf, capacity);
    if (n < 0)
        m_nReadErrno = errno;
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t CSerialPort::DrainReceiveEvent() {
    unsigned char buf[SERIAL_READ_CHUNK];
    uint32_t total = 0;
    // Until a read finds the queue empty; a port being closed stops early, so that a device
    // that never stops sending cannot hold up Close.
    while (m_bOpen.load() != 0) {
        const uint32_t n = Read(buf, SERIAL_READ_CHUNK);
        if (n == 0)
            break;
        const platform::Stamp at = platform::Stamp::Now();
        total += n;
        m_hPort.Traffic().Report(platform::TrafficKind::SerialRx, at, buf, n);
        if (!m_pReceiver)
            continue;
        if (m_pReceiver->CaptureArmed())
            m_pReceiver->CaptureSerialChunk(buf, static_cast<int>(n));
        else
            m_pReceiver->SerialRing().Put(buf, static_cast<int>(n), at);
    }
    // One notification per receive event, however many chunks it took; while capture is armed
    // the capture step notifies the window itself.
    if (m_pReceiver && !m_pReceiver->CaptureArmed() && total > 0)
        m_pReceiver->PostCommRead();
    return total;
}

uint32_t CSerialPort::ThreadWatchComm(CSerialPort* port) {
    if (!port->m_hPort.SetCommMask(EV_RXCHAR)) {
        // Reported without waiting for the user: the UI thread may be about to join this thread.
        if (port->m_pReceiver)
            port->m_pReceiver->ReceiveThreadFailed("Error while creating ThreadWatchComm, " +
                                                   port->m_strPortName);
        port->m_bReceiveThreadRunning.store(false);
        return 0;
    }
    port->m_nReadErrno = 0;
    int hangups = 0;
    while (port->m_bOpen.load() != 0) {
        uint32_t mask = 0;
        std::string lost;
        if (port->m_hPort.WaitCommEvent(mask)) {
            hangups = 0;
            if (mask & EV_RXCHAR)
                port->DrainReceiveEvent();
            if (port->m_nReadErrno == EIO)
                lost = std::string("device hung up (") + std::strerror(EIO) + ")";
        } else if (!port->m_hPort.HangupReason().empty()) {
            if (++hangups >= SERIAL_HANGUPS_BEFORE_LOST)
                lost = port->m_hPort.HangupReason();
        } else {
            hangups = 0;
        }
        if (!lost.empty() && port->m_bOpen.load() != 0) {
            // Reported once; the thread then sleeps until Close() aborts the wait, so a device
            // that is gone costs no CPU however long the owner takes to close the port.
            if (port->m_pReceiver)
                port->m_pReceiver->PortHungUp(lost);
            port->m_hPort.WaitForAbort();
            break;
        }
        std::this_thread::yield();
    }
    port->m_bReceiveThreadRunning.store(false);
    return 1;
}
