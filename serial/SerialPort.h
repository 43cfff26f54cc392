// The serial port of the terminal: open with settings, write, read, and the receive thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/AbortSignal.h"
#include "platform/SerialDevice.h"
#include "serial/LineSettings.h"

class CRingBuffer;
class CSerialPort;

// What the receive thread needs of the port's owner (the serial console).
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

class CSerialPort {
public:
    explicit CSerialPort(ISerialReceiver* receiver = nullptr);
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    void SetReceiver(ISerialReceiver* receiver) { m_pReceiver = receiver; }

    // Opens the port name ("COM1", or a device path) as a raw line with the settings. 1 when
    // the port is open and its receive thread runs, 0 otherwise (LastError() says why; invalid
    // settings are refused before the device is touched).
    int Open(std::string portName, const LineSettings& settings);
    // Closes the port and waits for its receive thread to end. A writer on another thread (a
    // file-send worker) sees its write end at once and every later one fail.
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
    // Bytes read (receive thread only); 0 when nothing is queued or the read failed.
    uint32_t Read(void* buf, uint32_t capacity);

    // The receive thread procedure. Exit code 1 after a normal end, 0 when its set-up failed.
    static uint32_t ThreadWatchComm(CSerialPort* port);
    // One receive event of that thread: reads chunks of up to SERIAL_READ_CHUNK bytes until a
    // read returns 0 (or the port is being closed), hands each to the ring buffer or, while
    // capture is armed, to the capture step, then posts one WM_COMM_READ if anything was stored.
    // Returns the bytes read. Receive thread only (tests call it on a port without one).
    uint32_t DrainReceiveEvent();

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
    std::atomic<bool> m_bReceiveThreadRunning{false};

private:
    // Applies the settings to the open device one by one; the first refusal ends it.
    platform::Result ApplySettings(const LineSettings& settings);

    ISerialReceiver* m_pReceiver;
    std::mutex m_writeLock;
    std::string m_strLastError;
    int m_nLastErrno = 0;
    std::string m_strLastHint;
    uint32_t m_nAppliedBaud = 0;
    // The write time limit per byte of the open line, in ms (0 = no limit).
    std::atomic<uint32_t> m_nWriteMsPerByte{0};
    // errno of the last read that failed other than "nothing queued" (receive thread only).
    int m_nReadErrno = 0;
};

// The write time limit per byte for a baud rate: 19200 / baud, truncated (0 = no limit).
uint32_t WriteMultiplierForBaud(uint32_t baud);
