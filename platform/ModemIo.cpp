#include "platform/ModemIo.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace platform {
namespace {

constexpr int kInputBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI;
constexpr int kPollMs = 10;

Result Failed(const char* what, int err) {
    return Result::Fail(IsNotSupported(err) ? kNotSupportedText : what,
                        std::string(what) + ": " + std::strerror(err), err);
}

template <class Arg>
int IoctlRetry(int fd, unsigned long request, Arg arg) {
    int rc;
    do {
        rc = ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? errno : 0;
}

// ENOIOCTLCMD (515) leaks to user space from a few drivers as their "no such request".
constexpr int ENOIOCTLCMD_ERRNO = 515;

// The signal that ends a wait in the driver: a real-time one no other part of the program uses,
// with a handler that does nothing and without SA_RESTART, so the ioctl returns EINTR.
int WakeSignal() {
    return SIGRTMIN + 3;
}

void WakeHandler(int) {}

// Installed by every wait before it enters the driver: the same handler each time, so doing it
// again changes nothing and no flag needs to remember that it was done.
void InstallWakeHandler() {
    struct sigaction sa {};
    sa.sa_handler = WakeHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(WakeSignal(), &sa, nullptr);
}

}  // namespace

bool IsNotSupported(int err) {
    return err == ENOTTY || err == EINVAL;
}

Result TtyModemIo::GetLines(ModemState& state) {
    int bits = 0;
    if (int err = IoctlRetry(m_fd, TIOCMGET, &bits))
        return Failed("modem lines", err);
    state.cts = bits & TIOCM_CTS;
    state.dsr = bits & TIOCM_DSR;
    state.dcd = bits & TIOCM_CD;
    state.ri = bits & TIOCM_RI;
    state.dtr = bits & TIOCM_DTR;
    state.rts = bits & TIOCM_RTS;
    return Result::Ok();
}

Result TtyModemIo::SetBits(int bits, bool on) {
    if (int err = IoctlRetry(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits))
        return Failed(bits == TIOCM_DTR ? "DTR" : "RTS", err);
    return Result::Ok();
}

Result TtyModemIo::SetDtr(bool on) {
    return SetBits(TIOCM_DTR, on);
}

Result TtyModemIo::SetRts(bool on) {
    return SetBits(TIOCM_RTS, on);
}

Result TtyModemIo::SetBreak(bool on) {
    if (int err = IoctlRetry(m_fd, on ? TIOCSBRK : TIOCCBRK, 0))
        return Failed("break", err);
    return Result::Ok();
}

Result TtyModemIo::WaitForChange(const AbortSignal& abort) {
    while (!m_driverLacksWait.load()) {
        if (abort.IsRaised())
            return Result::Fail("aborted", {}, ECANCELED);
        InstallWakeHandler();
        m_waiter.store(pthread_self());
        m_inDriverWait.store(true);
        // Interrupt() signals until this thread has left the driver, so a signal that comes
        // just before the ioctl starts is followed by another.
        int err = 0;
        if (!abort.IsRaised() && ioctl(m_fd, TIOCMIWAIT, kInputBits) < 0)
            err = errno;
        m_inDriverWait.store(false);
        if (err == 0)
            return abort.IsRaised() ? Result::Fail("aborted", {}, ECANCELED) : Result::Ok();
        if (err == EINTR)
            continue;  // the abort, or a signal of someone else's: looked at above
        if (!IsNotSupported(err) && err != ENOIOCTLCMD_ERRNO)
            return Failed("modem line wait", err);
        // A driver without the wait (some USB adapters): poll the lines instead.
        m_driverLacksWait.store(true);
    }
    return PollForChange(abort);
}

void TtyModemIo::Interrupt() {
    while (m_inDriverWait.load()) {
        pthread_kill(m_waiter.load(), WakeSignal());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Result TtyModemIo::PollForChange(const AbortSignal& abort) {
    // Compared with the lines the previous poll saw, so a change between two calls counts too.
    if (!m_bPolled) {
        if (Result r = GetLines(m_polled); !r)
            return r;
        m_bPolled = true;
    }
    const ModemState before = m_polled;
    const int abortFd = abort.Fd();
    for (;;) {
        if (abort.IsRaised())
            return Result::Fail("aborted", {}, ECANCELED);
        if (abortFd >= 0) {
            pollfd p{abortFd, POLLIN, 0};
            poll(&p, 1, kPollMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        if (abort.IsRaised())
            return Result::Fail("aborted", {}, ECANCELED);
        ModemState now;
        if (Result r = GetLines(now); !r)
            return r;
        m_polled = now;
        if (now.cts != before.cts || now.dsr != before.dsr || now.dcd != before.dcd ||
            now.ri != before.ri)
            return Result::Ok();
    }
}

Result TtyModemIo::GetCounters(UartCounters& counters) {
    serial_icounter_struct ic{};
    if (int err = IoctlRetry(m_fd, TIOCGICOUNT, &ic))
        return Failed("UART counters", err);
    counters.frame = static_cast<uint32_t>(ic.frame);
    counters.parity = static_cast<uint32_t>(ic.parity);
    counters.overrun = static_cast<uint32_t>(ic.overrun);
    counters.brk = static_cast<uint32_t>(ic.brk);
    counters.bufferOverrun = static_cast<uint32_t>(ic.buf_overrun);
    return Result::Ok();
}

}  // namespace platform
