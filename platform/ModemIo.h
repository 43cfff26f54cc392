// The modem control lines, break and the UART's error counters of a serial device, behind a
// small interface so the line logic can be tested with a fake (a pty has no modem lines).
//
// Every call returns a Result with the errno; a device without modem lines (a pty answers ENOTTY
// or EINVAL) fails with error ENOTTY or EINVAL, which IsNotSupported() recognises.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/AbortSignal.h"
#include "platform/Result.h"

namespace platform {

// The lines as read at one moment: inputs CTS, DSR, DCD, RI; outputs DTR and RTS as set.
struct ModemState {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
    bool dtr = false;
    bool rts = false;
    bool operator==(const ModemState&) const = default;
};

// The UART's cumulative error counters since the driver loaded (TIOCGICOUNT).
struct UartCounters {
    uint32_t frame = 0;
    uint32_t parity = 0;
    uint32_t overrun = 0;        // the UART's own receive FIFO
    uint32_t brk = 0;            // breaks received
    uint32_t bufferOverrun = 0;  // the tty's receive buffer
    bool operator==(const UartCounters&) const = default;
};

// The text for a device that has no modem lines.
constexpr const char* kNotSupportedText = "not supported by this device";

// True for the errno a device without modem lines answers with (ENOTTY, EINVAL).
bool IsNotSupported(int err);

class ModemIo {
public:
    virtual ~ModemIo() = default;
    virtual Result GetLines(ModemState& state) = 0;
    // Raises (on = true) or drops one output line.
    virtual Result SetDtr(bool on) = 0;
    virtual Result SetRts(bool on) = 0;
    virtual Result SetBreak(bool on) = 0;
    // Blocks until one of CTS, DSR, DCD or RI changes, or `abort` is raised (then fails with
    // ECANCELED). Where the driver has no wait for line changes, polls the lines every 10 ms.
    virtual Result WaitForChange(const AbortSignal& abort) = 0;
    // Any thread, after raising the abort a WaitForChange watches: ends that wait promptly even
    // where it blocks in the driver. Returns once no wait is inside the driver any more.
    virtual void Interrupt() {}
    virtual Result GetCounters(UartCounters& counters) = 0;
};

// The lines of a tty descriptor through ioctl. The descriptor stays its owner's (a
// CSerialDevice's); this object only uses it while the device is open.
class TtyModemIo : public ModemIo {
public:
    explicit TtyModemIo(int fd) : m_fd(fd) {}
    Result GetLines(ModemState& state) override;
    Result SetDtr(bool on) override;
    Result SetRts(bool on) override;
    Result SetBreak(bool on) override;
    Result WaitForChange(const AbortSignal& abort) override;
    void Interrupt() override;
    Result GetCounters(UartCounters& counters) override;

private:
    Result SetBits(int bits, bool on);
    Result PollForChange(const AbortSignal& abort);
    int m_fd;
    // The driver's wait (TIOCMIWAIT) ends only on a line change or a signal: the waiting thread
    // is named here while it is inside it, so Interrupt() can send it a signal.
    std::atomic<bool> m_inDriverWait{false};
    std::atomic<pthread_t> m_waiter{};
    std::atomic<bool> m_driverLacksWait{false};
    // The polling waiter's last look at the lines (the waiting thread only).
    ModemState m_polled;
    bool m_bPolled = false;
};

}  // namespace platform
