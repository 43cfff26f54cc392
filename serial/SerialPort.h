// The serial port of the terminal: open with settings, write, read, and the receive thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/AbortSignal.h"
#include "platform/SerialDevice.h"
#include "serial/LineSettings.h"

class CRingBuffer;
class CSerialPort;
namespace platform {
class Retirer;
}

// What the receive thread needs of the port's owner (the serial console). Every call comes from
// the receive thread while the port's Close waits for it to return (so that nothing arrives
// after Close): none may close the port or wait for the UI thread.
class ISerialReceiver {
public:
    virtual ~ISerialReceiver() = default;
    virtual CRingBuffer& SerialRing() = 0;
    // Announces that bytes were stored in the history (one announcement per receive event).
    virtual void PostCommRead() = 0;
    // True while received chunks go to the capture step instead of the history.
    virtual bool CaptureArmed() = 0;
    // Hands one chunk read while the port is armed for capture to the capture step.
    virtual void CaptureSerialChunk(const unsigned char* bytes, int n) = 0;
    // The receive thread could not start its wait ("Error while creating ThreadWatchComm, COM1").
    // Called on that thread; must not wait for the UI thread.
    virtual void ReceiveThreadFailed(const std::string& text) = 0;
    // The device hung up or vanished ("device hung up", or the OS's reason for a failed read).
    // Called once per open on the receive thread, which then waits, idle, for Close(); the owner
    // closes the port from its own thread. Must not wait for the UI thread.
    virtual void PortHungUp(const std::string& reason) { (void)reason; }
};

// Consecutive hang-up answers of the device (each after a back-off of about 200 ms) before the
// receive thread reports the port lost: a single one may be a passing line condition.
constexpr int SERIAL_HANGUPS_BEFORE_LOST = 2;

constexpr uint32_t SERIAL_READ_CHUNK = 2048;

// The receive side of one open of the port: what its receive thread (ThreadWatchComm) uses.
// Shared by the port and the thread, because a retired thread may still be ending after Close
// has returned and the port has opened again. So the side reads through a descriptor of its own
// (a duplicate of the port's, closed when the side goes), and reaches the receiver, the traffic
// slot and the port's name only through its gate: once Shut() has returned it reads nothing more
// and tells nobody anything.
class SerialReceiveSide {
public:
    // Duplicates the descriptor of `port`, which is open. When that fails (no descriptor left)
    // the side has no device and its thread reports that it could not start. `receiver` and
    // `traffic` may be null; both must stay valid until Shut().
    SerialReceiveSide(const platform::CSerialDevice& port, std::string portName,
                      ISerialReceiver* receiver, platform::TrafficSlot* traffic);
    SerialReceiveSide(const SerialReceiveSide&) = delete;
    SerialReceiveSide& operator=(const SerialReceiveSide&) = delete;

    // Shuts the gate and ends the thread's wait. A read or delivery in progress is finished
    // first (a chunk into the history or the capture step; never a wait on the device), and
    // none starts after. Any thread; idempotent.
    void Shut();
    bool IsShut() const;
    // The receive thread has started and not yet ended.
    bool Running() const { return m_bRunning.load(); }

    // One receive event of the thread: reads chunks of up to SERIAL_READ_CHUNK bytes until a
    // read takes less than a chunk (or the gate shuts), hands each to the ring buffer or, while
    // capture is armed, to the capture step, then posts one WM_COMM_READ if anything was stored.
    // Returns the bytes read. Receive thread only (tests call it on a side without one).
    uint32_t DrainReceiveEvent();
    // Bytes read; 0 when nothing is queued (no read is issued then) or the read failed.
    uint32_t Read(void* buf, uint32_t capacity);
    // The side's own device: its duplicate descriptor, its own wait and abort.
    platform::CSerialDevice& Device() { return m_device; }

private:
    friend class CSerialPort;
    // Calls `tell` with the receiver while the gate is open; false when it is shut.
    template <class Tell>
    bool TellReceiver(Tell tell);

    platform::CSerialDevice m_device;
    const std::string m_strPortName;
    ISerialReceiver* const m_pReceiver;
    platform::TrafficSlot* const m_pTraffic;
    mutable std::mutex m_gate;
    bool m_bOpen = true;  // guarded by m_gate
    std::atomic<bool> m_bRunning{false};
    // errno of the last read that failed other than "nothing queued" (receive thread only).
    int m_nReadErrno = 0;
};

class CSerialPort {
public:
    explicit CSerialPort(ISerialReceiver* receiver = nullptr);
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    void SetReceiver(ISerialReceiver* receiver) { m_pReceiver = receiver; }
    // Who ends the receive thread that Close stops: the retirer, on its own thread, so that
    // Close never waits for it; null (the default) makes Close join it. The retirer must
    // outlive the port. Set while the port is closed.
    void SetRetirer(platform::Retirer* retirer) { m_pRetirer = retirer; }

    // Opens the port name ("COM1", or a device path) as a raw line with the settings. 1 when
    // the port is open and its receive thread runs, 0 otherwise (LastError() says why; invalid
    // settings are refused before the device is touched).
    int Open(std::string portName, const LineSettings& settings);
    // Closes the port. Once it returns, the receive thread reads nothing more and tells the
    // receiver nothing (a chunk it is storing is finished first); the thread itself is handed to
    // the retirer, or joined without one. A writer on another thread (a file-send worker) sees
    // its write end at once and every later one fail. The port may open again at once.
    void Close();
    // Bytes written; 0 when the port is not open or the write failed. Safe from any thread:
    // concurrent writers are serialised, so one write never interleaves with another.
    // The device gets WriteMultiplierForBaud(baud) ms per byte to take the bytes (no bound at
    // 0). maxWaitMs >= 0: waits at most that long in all, for another writer to finish and for
    // the device to take the bytes (a console send must not hang on a port held by flow
    // control). `abort` (a file-send worker's): once raised, nothing more is written and a write
    // waiting for room returns at once.
    uint32_t Write(const void* buf, uint32_t length, int maxWaitMs = -1,
                   const platform::AbortSignal* abort = nullptr);

    // The receive thread procedure, on the side of one open. Exit code 1 after a normal end, 0
    // when its set-up failed ("Error while creating ThreadWatchComm, COM1" to the receiver).
    static uint32_t ThreadWatchComm(std::shared_ptr<SerialReceiveSide> side);
    // The receive thread of the open port has started and not yet ended; false once the port
    // is closed (a retired thread is the retirer's).
    bool ReceiveThreadRunning() const { return m_pReceive && m_pReceive->Running(); }

    const std::string& LastError() const { return m_strLastError; }
    int LastErrno() const { return m_nLastErrno; }
    // What the user can do about a failed open (who holds the port, which group may open it).
    const std::string& LastHint() const { return m_strLastHint; }
    platform::CSerialDevice& Device() { return m_hPort; }
    // The rate the driver applied at the last successful Open, read back from the tty (a UART
    // may round a custom rate to what its clock divides to; a pty keeps the rate as set).
    uint32_t AppliedBaud() const { return m_nAppliedBaud; }

    // Fields.
    platform::CSerialDevice m_hPort;
    std::string m_strPortName;
    std::atomic<int32_t> m_bOpen{0};
    std::thread m_hReceiveThread;

private:
    // Applies the settings to the open device one by one; the first refusal ends it.
    platform::Result ApplySettings(const LineSettings& settings);
    // Hands a stopped receive thread to the retirer, or joins it without one.
    void EndReceiveThread();

    // One write at a time: a writer waits (bounded or not) until `busy` is clear, without
    // polling. A condition variable with a flag rather than a timed mutex: libstdc++'s timed
    // mutex waits in pthread_mutex_clocklock, which ThreadSanitizer does not see, so every
    // unlock after such a wait would be reported as wrong.
    struct WriteGate {
        std::mutex lock;
        std::condition_variable freed;
        bool busy = false;  // a write is in progress (guarded by `lock`)
    };

    ISerialReceiver* m_pReceiver;
    platform::Retirer* m_pRetirer = nullptr;
    // The receive side of the open port (null while closed).
    std::shared_ptr<SerialReceiveSide> m_pReceive;
    WriteGate m_writeGate;
    std::string m_strLastError;
    int m_nLastErrno = 0;
    std::string m_strLastHint;
    uint32_t m_nAppliedBaud = 0;
    // The write time limit per byte of the open line, in ms (0 = no limit).
    std::atomic<uint32_t> m_nWriteMsPerByte{0};
};

// The write time limit per byte for a baud rate: 19200 / baud, truncated (0 = no limit).
uint32_t WriteMultiplierForBaud(uint32_t baud);
