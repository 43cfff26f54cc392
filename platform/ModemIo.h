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
#include "platform/ModemState.h"
#include "platform/Result.h"

namespace platform {

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
    // Any thread, after raising the abort a WaitForChange watches: makes that wait end even
    // where it blocks in the driver. Returns at once, without waiting for the wait to end.
    virtual void Interrupt() {}
    virtual Result GetCounters(UartCounters& counters) = 0;
};

// The lines of a tty through ioctl, on a duplicate of the descriptor it is given: the duplicate
// is this object's own (closed by its destructor), so a watch thread that still holds the object
// after the port closed never reaches a descriptor number the process has given to another file.
class TtyModemIo : public ModemIo {
public:
    // Duplicates `fd`; when that fails (no descriptor left), every call fails with the errno.
    explicit TtyModemIo(int fd);
    ~TtyModemIo() override;
    TtyModemIo(const TtyModemIo&) = delete;
    TtyModemIo& operator=(const TtyModemIo&) = delete;

    Result GetLines(ModemState& state) override;
    Result SetDtr(bool on) override;
    Result SetRts(bool on) override;
    Result SetBreak(bool on) override;
    Result WaitForChange(const AbortSignal& abort) override;
    // Sends the thread inside the driver's wait one wake signal, or nothing when no thread is in
    // it: a wait entered after the abort was raised sees the abort and does not start. Call it
    // before the waiting thread can be joined (its id is signalled).
    void Interrupt() override;
    Result GetCounters(UartCounters& counters) override;

private:
    Result SetBits(int bits, bool on);
    Result PollForChange(const AbortSignal& abort);
    int m_fd = -1;
    int m_dupErrno = 0;  // why the duplicate could not be made
    // The driver's wait (TIOCMIWAIT) ends only on a line change or a signal: the waiting thread
    // is named here from before its last look at the abort until it has left the driver, so
    // Interrupt() can send it the wake signal.
    std::atomic<bool> m_inDriverWait{false};
    std::atomic<pthread_t> m_waiter{};
    std::atomic<bool> m_driverLacksWait{false};
    // The polling waiter's last look at the lines (the waiting thread only).
    ModemState m_polled;
    bool m_bPolled = false;
};

}  // namespace platform
