// The serial device over termios: an exclusive open, one setter per line setting, reads that
// return at once, bounded writes, and a wait for received bytes that another thread can end.
//
// Port names "COMn" resolve through the device's PortMap: the user's mapping, else
// <program directory>/COMn when that exists (typically a symlink: ln -s /dev/ttyUSB0 COM1), else
// /dev/ttyS{n-1} (see platform/PortMap.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/AbortSignal.h"
#include "platform/PortMap.h"
#include "platform/Result.h"
#include "platform/SerialBaud.h"
#include "platform/Traffic.h"

namespace platform {

// The serial line settings the device applies, one at a time. Mark and space parity exist on
// Linux (CMSPAR); 1.5 stop bits do not exist on their own (a UART sends them for "two" with five
// data bits), so StopBits has two values.
enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, Two };
// XonXoff: the tty answers and obeys DC1/DC3 (IXON, IXOFF). Hardware: the RTS/CTS handshake
// (CRTSCTS) with DTR raised. None: neither, and DTR and RTS dropped.
enum class FlowControl { None, XonXoff, Hardware };

// The start and stop characters of Xon/Xoff flow control (DC1, DC3).
constexpr uint8_t XON_CHAR = 17;
constexpr uint8_t XOFF_CHAR = 19;

constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t PURGE_TXABORT = 0x1, PURGE_RXABORT = 0x2, PURGE_TXCLEAR = 0x4,
                   PURGE_RXCLEAR = 0x8;

class CSerialDevice {
public:
    CSerialDevice();
    ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Where "COMn" names lead for this device (the user's settings and the real program
    // directory unless set). Set it while the device is closed.
    void SetPortMap(PortMap map) { m_portMap = std::move(map); }
    const PortMap& GetPortMap() const { return m_portMap; }

    // Exclusive open of a port name. On failure returns false with the OS's reason in LastError().
    bool Open(const std::string& portName);
    // A descriptor of its own for the device `opener` has open (a duplicate): for a reader
    // thread that may still be ending after `opener` closed, and so must never read through a
    // descriptor number that a later open reuses. Takes neither the lock nor the exclusive flag,
    // and its Close leaves both alone (they are the opener's). False, with the OS's reason,
    // when `opener` is not open or no descriptor is left.
    bool OpenDuplicate(const CSerialDevice& opener);
    bool IsOpen() const { return m_fd >= 0; }
    // Releases the device. Ends a pending WaitCommEvent and Write first; the caller makes sure
    // no other thread is inside Read or WaitCommEvent once Close() returns.
    void Close();
    // Wakes every pending and future wait and write at once (the first half of closing), without
    // releasing the descriptor.
    void Abort();

    // The line settings. Open() leaves the tty's modes as they were; each setter changes its
    // own setting on the open device at once and fails with the device's reason and errno
    // (EBADF when closed, ENOTTY for a device that is no tty, EINVAL for a value the line
    // cannot take). A failed setter leaves the line as it was.
    //
    // A raw line: no line editing, translation or signals, the receiver on, modem status
    // ignored (CLOCAL), and reads that return at once with what is queued. The flow control
    // flags are left to SetFlowControl.
    Result SetRaw();
    // Any rate in bits per second; rates without a B-constant (14400, 28800) as custom rates.
    Result SetBaud(uint32_t baud);
    // 5 to 8.
    Result SetDataBits(int bits);
    Result SetParity(Parity parity);
    Result SetStopBits(StopBits stopBits);
    // XonXoff leaves the RTS/CTS handshake and the modem lines as the tty has them; Hardware
    // leaves Xon/Xoff as the tty has it; None clears both and drops DTR and RTS. A device
    // without modem lines (a pty) is not a failure.
    Result SetFlowControl(FlowControl flow);

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
    // Writes the bytes, waiting for room in the output queue (flow control may hold it) at most
    // `timeLimitMs` in all; a negative limit waits as long as it takes. Returns the count
    // written, which is short when the limit ran out; -1 on error before anything was written.
    // Abort() ends it, and so does `abort` once raised (the writer's own: a write held back by
    // flow control, XOFF or CTS low, without a time limit would otherwise never return).
    int Write(const void* buf, uint32_t length, int64_t timeLimitMs = -1,
              const AbortSignal* abort = nullptr);

    // The OS's reason for the last failed Open, setter or PurgeComm ("<device path>: <strerror>").
    // Read it on the thread that made those calls.
    const std::string& LastError() const { return m_lastError; }
    // The errno behind LastError().
    int LastErrno() const { return m_lastErrno; }
    // After a failed Open: what to do about it, for the message's detail (empty when there is
    // nothing to add). Who holds a busy device; for EACCES which group owns it and how to join.
    const std::string& Hint() const { return m_hint; }
    const std::string& DevicePath() const { return m_path; }
    int Fd() const { return m_fd; }
    // The termios modes the setters last handed to the kernel (each setter changes these, not
    // what the kernel reports back). A pty keeps only some of them (always CS8, never PARENB),
    // so tests check the rest here.
    const TtyModes& AppliedModes() const { return m_appliedModes; }

    // Every chunk written goes to this slot's observer, stamped at its write(). Received chunks
    // are reported by the reader, which stamps them for the history as well.
    TrafficSlot& Traffic() { return m_traffic; }

private:
    TrafficSlot m_traffic;
    bool EnsureWakeFds();
    void DrainEventFd(int fd);
    bool IsAborted();
    // Waits only for a mask change or Abort(), at most `timeoutMs`; true when one of them came.
    bool WaitForWake(uint64_t generation, int timeoutMs);
    // Applies `change` to the modes last handed to the kernel (read from the tty the first
    // time after Open) and hands the result over; `what` names the setting in a failure.
    template <class Change>
    Result ChangeModes(const std::string& what, Change change);
    Result Fail(const std::string& what, int err);
    void SetError(const std::string& what, int err);

    int m_fd = -1;
    bool m_bDuplicate = false;  // m_fd came from OpenDuplicate
    int m_wakeFd = -1;          // eventfd: a mask change ends the pending wait
    AbortSignal m_abort;        // raised by Abort() until Close() or the next Open()
    std::atomic<uint32_t> m_mask{0};
    // Bumped by every SetCommMask, so a wait tells a change made while it waited from one made
    // before it started.
    std::atomic<uint64_t> m_maskGeneration{0};
    PortMap m_portMap;
    TtyModes m_appliedModes;
    bool m_bModesKnown = false;  // m_appliedModes holds this open's modes
    std::string m_path;
    // Written only by the thread that opens, configures and closes the device (never by Read,
    // Write or WaitCommEvent), so reading it there needs no lock.
    std::string m_lastError;
    int m_lastErrno = 0;
    std::string m_hint;          // set by a failed Open only, on the same thread as m_lastError
    std::string m_hangupReason;  // written and read by the thread in WaitCommEvent only
};

}  // namespace platform
