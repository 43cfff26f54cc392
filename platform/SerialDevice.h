// The serial port stand-in: the Windows communications calls the port driver needs, over termios.
//
// Port names "COMn" resolve to the user's mapping, else <program directory>/COMn when that exists
// (typically a symlink: ln -s /dev/ttyUSB0 COM1), else /dev/ttyS{n-1} (see platform/PortMap.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/AbortSignal.h"
#include "platform/SerialBaud.h"

struct termios;  // <termios.h>; kept out of this header

namespace platform {

// The Win32 device-control block, kept as data. Fields without a termios equivalent are
// remembered per device between opens, so that they keep the driver's values.
struct DCB {
    uint32_t DCBlength = sizeof(DCB);
    uint32_t BaudRate = 9600;
    uint32_t fBinary = 1;
    uint32_t fParity = 0;
    uint32_t fOutxCtsFlow = 0;
    uint32_t fOutxDsrFlow = 0;
    uint32_t fDtrControl = 1;  // DTR_CONTROL_ENABLE
    uint32_t fDsrSensitivity = 0;
    uint32_t fTXContinueOnXoff = 0;
    uint32_t fOutX = 0;
    uint32_t fInX = 0;
    uint32_t fErrorChar = 0;
    uint32_t fNull = 0;
    uint32_t fRtsControl = 1;  // RTS_CONTROL_ENABLE
    uint32_t fAbortOnError = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 17;
    char XoffChar = 19;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
};

constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
constexpr uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2;
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t PURGE_TXABORT = 0x1, PURGE_RXABORT = 0x2, PURGE_TXCLEAR = 0x4,
                   PURGE_RXCLEAR = 0x8;
constexpr uint32_t MAXDWORD = 0xFFFFFFFF;

struct COMMTIMEOUTS {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// Resolves "COMn" (n >= 1, any letter case) to a device path (see above). Other names are used as
// paths unchanged.
std::string ResolvePortName(const std::string& name);

class CSerialDevice {
public:
    CSerialDevice();
    ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Exclusive open of a port name. On failure returns false with the OS's reason in LastError().
    bool Open(const std::string& portName);
    bool IsOpen() const { return m_fd >= 0; }
    // Releases the device. Ends a pending WaitCommEvent and Write first; the caller makes sure
    // no other thread is inside Read or WaitCommEvent once Close() returns.
    void Close();
    // Wakes every pending and future wait and write at once (the first half of closing), without
    // releasing the descriptor.
    void Abort();

    bool GetCommState(DCB& dcb);
    // Applies the record; false (with LastError()) when the device refuses it (not a tty,
    // unsupported rate ...).
    bool SetCommState(const DCB& dcb);
    bool SetupComm(uint32_t inQueue, uint32_t outQueue);
    bool SetCommTimeouts(const COMMTIMEOUTS& timeouts);
    // Changing the mask ends a pending WaitCommEvent, which returns with an empty mask.
    bool SetCommMask(uint32_t mask);
    bool PurgeComm(uint32_t flags);

    // Blocks until a byte is queued (mask gets EV_RXCHAR) or the mask changes / Abort() / the
    // device is closed (mask 0, returns true). A device that hung up (POLLHUP/POLLERR, or
    // readable with nothing to read) returns false with mask 0 after a back-off of about 200 ms,
    // never at once, so a loop around it does not spin.
    bool WaitCommEvent(uint32_t& mask);
    // Why the last WaitCommEvent that returned false did: "device hung up" (POLLHUP/POLLERR, or
    // readable with nothing to read while the tty answers with an error, then the OS's reason in
    // parentheses); empty when it returned false for another reason. Receive thread only.
    const std::string& HangupReason() const { return m_hangupReason; }
    // Blocks, using no CPU, until Abort() or Close() (a port whose device is gone waits here to
    // be closed). Returns at once when Abort() already came.
    void WaitForAbort();
    // Bytes queued for reading (FIONREAD); 0 on an error.
    uint32_t QueuedInput();
    // Returns at once with what is queued, up to `capacity` bytes; 0 when nothing is, -1 on error.
    int Read(void* buf, uint32_t capacity);
    // Writes the bytes, waiting at most WriteTotalTimeoutMultiplier x length +
    // WriteTotalTimeoutConstant ms (0 and 0 = no bound), and at most maxWaitMs when that is 0 or
    // more (the lower bound wins). Returns the count written; -1 on error before anything was
    // written. Abort() ends it, and so does `abort` once raised (the writer's own: a write held
    // back by flow control, XOFF or CTS low, without a time limit would otherwise never return).
    int Write(const void* buf, uint32_t length, int maxWaitMs = -1,
              const AbortSignal* abort = nullptr);

    // The OS's reason for the last failed Open, GetCommState, SetCommState, SetupComm or
    // PurgeComm ("<device path>: <strerror>"). Read it on the thread that made those calls.
    const std::string& LastError() const { return m_lastError; }
    // The errno behind LastError().
    int LastErrno() const { return m_lastErrno; }
    // After a failed Open: what to do about it, for the message's detail (empty when there is
    // nothing to add). Who holds a busy device; for EACCES which group owns it and how to join.
    const std::string& Hint() const { return m_hint; }
    const std::string& DevicePath() const { return m_path; }
    int Fd() const { return m_fd; }
    // The termios modes the last successful SetCommState handed to the kernel. A pty keeps
    // only some of them (always CS8, never PARENB), so tests check the rest here.
    const TtyModes& AppliedModes() const { return m_appliedModes; }

private:
    bool EnsureWakeFds();
    void DrainEventFd(int fd);
    bool IsAborted();
    // Waits only for a mask change or Abort(), at most `timeoutMs`; true when one of them came.
    bool WaitForWake(uint64_t generation, int timeoutMs);
    bool ReadTermios(const char* operation, ::termios& tio);
    void SetError(const std::string& what, int err);

    int m_fd = -1;
    int m_wakeFd = -1;    // eventfd: a mask change ends the pending wait
    AbortSignal m_abort;  // raised by Abort() until Close() or the next Open()
    std::atomic<uint32_t> m_mask{0};
    // Bumped by every SetCommMask, so a wait tells a change made while it waited from one made
    // before it started.
    std::atomic<uint64_t> m_maskGeneration{0};
    std::mutex m_timeoutsLock;  // Write() may run on another thread than SetCommTimeouts()
    COMMTIMEOUTS m_timeouts;
    TtyModes m_appliedModes;
    uint32_t m_inQueue = 0;  // SetupComm sizes, recorded only: the kernel's queues are fixed
    uint32_t m_outQueue = 0;
    std::string m_path;
    // Identifies the device behind m_path (canonical path, device number, node change time) for
    // the remembered settings; a re-created node (replugged adapter, new pty) is a new device.
    std::string m_deviceKey;
    // Written only by the thread that opens, configures and closes the device (never by Read,
    // Write or WaitCommEvent), so reading it there needs no lock.
    std::string m_lastError;
    int m_lastErrno = 0;
    std::string m_hint;          // set by a failed Open only, on the same thread as m_lastError
    std::string m_hangupReason;  // written and read by the thread in WaitCommEvent only
};

}  // namespace platform
